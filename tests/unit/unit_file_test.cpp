#include "service/linux/unit_file.hpp"

#include <gtest/gtest.h>

namespace zembra::service {
namespace {

TEST(UnitFile, RegularHelperText) {
    EXPECT_EQ(unit_file_path(), "/etc/systemd/system/zembra-helper.service");
    EXPECT_EQ(unit_file_text("/usr/lib/app/ZembraHelperService", 1000, 1001),
              "[Unit]\n"
              "Description=Zembra Helper starts the Morvik Core with the privileges TUN mode "
              "needs.\n"
              "After=network-online.target nftables.service iptables.service\n"
              "StartLimitIntervalSec=60\n"
              "StartLimitBurst=5\n"
              "\n"
              "[Service]\n"
              "Type=simple\n"
              "ExecStart=\"/usr/lib/app/ZembraHelperService\"\n"
              "Group=1001\n"
              "Environment=MORVIK_HELPER_OWNER_UID=1000\n"
              "Environment=MORVIK_HELPER_OWNER_GID=1001\n"
              "RuntimeDirectory=zembra\n"
              "RuntimeDirectoryMode=0755\n"
              "Restart=on-failure\n"
              "RestartSec=5\n"
              "\n"
              "[Install]\n"
              "WantedBy=multi-user.target\n");
}

TEST(UnitFile, ExecStartEscaping) {
    struct Case {
        const char* path;
        const char* quoted;
    };
    constexpr Case cases[] = {
        {"/opt/a b/x", R"("/opt/a b/x")"},
        {"/opt/a b%/x", R"("/opt/a b%%/x")"},
        {"/opt/%n%%/x", R"("/opt/%%n%%%%/x")"},
        {R"(/opt/"q"/x)", R"("/opt/\"q\"/x")"},
        {R"(/opt/b\s/x)", R"("/opt/b\\s/x")"},
        {"/opt/$HOME/${USER}$/x", R"("/opt/$HOME/${USER}$/x")"},
        {"/opt/z\xc3\xa9/x", "\"/opt/z\xc3\xa9/x\""},
        {"/opt/\xff\xfe/x\xe2\x82", "\"/opt/\xEF\xBF\xBD\xEF\xBF\xBD/x\xEF\xBF\xBD\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.path));
        EXPECT_EQ(quote_exec_path(c.path), c.quoted);
        const std::string line = "\nExecStart=" + std::string(c.quoted) + "\n";
        EXPECT_NE(unit_file_text(c.path, 1000, 1001).find(line), std::string::npos);
    }
}

TEST(UnitFile, ExecStartCannotHoldControlCharacters) {
    struct Case {
        std::string_view path;
        bool can_hold;
    };
    constexpr Case cases[] = {
        {"/opt/a b/x", true},
        {"/opt/z\xc3\xa9/\xff~", true},
        {"/opt/a\nExecStartPre=/bin/sh/x", false},
        {"/opt/\x01/x", false},
        {"/opt/\x1f/x", false},
        {"/opt/\r/x", false},
        {"/opt/\x7f/x", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::string(c.path)));
        EXPECT_EQ(exec_start_can_hold(c.path), c.can_hold);
    }
}

}  // namespace
}  // namespace zembra::service
