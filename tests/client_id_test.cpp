#include "client_id.h"

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

}  // namespace
