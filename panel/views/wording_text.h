// The installed platform wording as the views show it: Qt strings, and paragraphs joined from
// sentences of which the desktop's may be empty.
#pragma once

#include "platform/wording.h"

#include <QString>
#include <QStringList>

#include <initializer_list>
#include <string_view>

namespace korvane::views {

inline QString qtText(std::string_view text) { return QString::fromUtf8(text.data(), qsizetype(text.size())); }

// The non-empty sentences, separated by one space.
inline QString paragraphOf(std::initializer_list<QString> sentences) {
    QStringList kept;
    for (const QString& sentence : sentences)
        if (!sentence.isEmpty()) kept.append(sentence);
    return kept.join(QLatin1Char(' '));
}

}  // namespace korvane::views
