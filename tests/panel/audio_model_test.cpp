// The model's state, construction, preferences and refresh pass.
#include "shared/routing_files.h"
#include "tests/panel/panel_fixture.h"

namespace korvane::test {
namespace {

using panel::Property;

TEST(AudioModelConstruction, FirstLaunchChoosesTheDefaultOutputAndStoresTheChoices) {
    PanelSetup setup;
    auto& model = setup.create();
    EXPECT_EQ(model.selectedInput(), "system");
    EXPECT_EQ(model.selectedOutput(), kSpeakers);
    EXPECT_EQ(model.listeningUID(), kSpeakers);
    EXPECT_EQ(setup.defaults.stringValue("preferredInput"), "system");
    EXPECT_EQ(setup.defaults.stringValue("preferredOutput"), kSpeakers);
    EXPECT_EQ(setup.defaults.stringValue("preferredListening"), kSpeakers);
    EXPECT_NE(model.device(), 0u);
    EXPECT_TRUE(model.launchRoutingPending());
}

}  // namespace
}  // namespace korvane::test
