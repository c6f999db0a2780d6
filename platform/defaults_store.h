// The per-user defaults store: typed values (bool, text, binary data) under string keys. The panel
// keeps its preferences there. MemoryDefaultsStore is the in-memory implementation for tests.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace platform {

// Main thread only.
class DefaultsStore {
public:
    virtual ~DefaultsStore() = default;
    // Each read yields nothing when the key is absent or holds a value of another type.
    virtual std::optional<bool> boolValue(std::string_view key) const = 0;
    virtual std::optional<std::string> stringValue(std::string_view key) const = 0;
    virtual std::optional<std::string> dataValue(std::string_view key) const = 0;  // raw bytes
    virtual void setBool(std::string_view key, bool value) = 0;
    virtual void setString(std::string_view key, std::string_view value) = 0;
    virtual void setData(std::string_view key, std::string_view bytes) = 0;
    virtual void remove(std::string_view key) = 0;
};

class MemoryDefaultsStore final : public DefaultsStore {
public:
    // Tests store values of any type under any key, also of the "wrong" type.
    struct Data {
        std::string bytes;
        friend bool operator==(const Data&, const Data&) = default;
    };
    using Value = std::variant<bool, std::string, Data>;

    std::optional<bool> boolValue(std::string_view key) const override { return get<bool>(key); }
    std::optional<std::string> stringValue(std::string_view key) const override { return get<std::string>(key); }
    std::optional<std::string> dataValue(std::string_view key) const override {
        const auto data = get<Data>(key);
        return data ? std::optional(data->bytes) : std::nullopt;
    }
    void setBool(std::string_view key, bool value) override { values_[std::string(key)] = value; }
    void setString(std::string_view key, std::string_view value) override {
        values_[std::string(key)] = std::string(value);
    }
    void setData(std::string_view key, std::string_view bytes) override {
        values_[std::string(key)] = Data{std::string(bytes)};
    }
    void remove(std::string_view key) override {
        if (const auto found = values_.find(key); found != values_.end()) values_.erase(found);
    }

    bool contains(std::string_view key) const { return values_.find(key) != values_.end(); }
    void set(std::string_view key, Value value) { values_[std::string(key)] = std::move(value); }

private:
    template <class T>
    std::optional<T> get(std::string_view key) const {
        const auto found = values_.find(key);
        if (found == values_.end() || !std::holds_alternative<T>(found->second)) return std::nullopt;
        return std::get<T>(found->second);
    }
    std::map<std::string, Value, std::less<>> values_;
};

}  // namespace platform
