#include "config/client_id.h"
#include "support/console_capture.h"

#include <gtest/gtest.h>

namespace {

TEST(ClientId, MustBeOneSubjectToken) {
    const struct {
        std::string id;
        bool valid;
        std::string sanitized;
    } cases[] = {
        {"rig-07", true, "rig-07"},
        {"Rig_07:gpu", true, "Rig_07:gpu"},
        {"r\xc3\xa9g", true, "r\xc3\xa9g"},
        {std::string(128, 'r'), true, std::string(128, 'r')},
        {std::string(129, 'r'), false, std::string(128, 'r')},
        {"", false, "miner"},
        {"a b c", false, "a_b_c"},
        {"Rig 07", false, "Rig_07"},
        {"rig.7", false, "rig_7"},
        {"rig.local.lan", false, "rig_local_lan"},
        {"*", false, "_"},
        {"rig>", false, "rig_"},
        {"tab\there", false, "tab_here"},
        {"rig\r\nPUB x 1", false, "rig__PUB_x_1"},
        {"del\x7f", false, "del_"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        EXPECT_EQ(is_valid_client_id(c.id), c.valid);
        EXPECT_EQ(sanitized_client_id(c.id), c.sanitized);
        EXPECT_TRUE(is_valid_client_id(sanitized_client_id(c.id)));
    }
}

TEST(ClientId, AHostNameThatIsNoValidIdIsSanitisedWithAWarning) {
    const struct {
        std::string host;
        std::string id;
        std::string warning;
    } cases[] = {
        {"rig-07", "rig-07", ""},
        {"rig07.farm.lan", "rig07_farm_lan",
         "WARNING: host name \"rig07.farm.lan\" is no valid client id, using \"rig07_farm_lan\" (set one with --id)\n"},
        {"", "miner", "WARNING: host name \"\" is no valid client id, using \"miner\" (set one with --id)\n"},
        {"a\nb", "a_b", "WARNING: host name \"a\\nb\" is no valid client id, using \"a_b\" (set one with --id)\n"},
    };
    for (const auto& c : cases) {
        capture_console();
        EXPECT_EQ(client_id_for_host(c.host), c.id);
        EXPECT_EQ(captured_console(), c.warning);
    }
}

}  // namespace
