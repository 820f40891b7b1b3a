#include "service/linux/unit_file.hpp"

#include <algorithm>

#include "service/identity.hpp"
#include "service/linux/owner.hpp"
#include "utf8.hpp"

namespace zembra::service {

std::string unit_file_path() {
    return "/etc/systemd/system/" + std::string(service_name()) + ".service";
}

bool exec_start_can_hold(std::string_view executable_path) {
    return std::ranges::none_of(executable_path, [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

std::string quote_exec_path(std::string_view executable_path) {
    std::string quoted = "\"";
    for (const char c : lossy_utf8(executable_path)) {
        if (c == '"' || c == '\\') quoted += '\\';
        if (c == '%') quoted += '%';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

std::string unit_file_text(std::string_view executable_path, std::uint32_t uid, std::uint32_t gid) {
    const std::string uid_text = std::to_string(uid);
    const std::string gid_text = std::to_string(gid);
    return std::string(
               "[Unit]\n"
               "Description=Zembra Helper starts the Morvik Core with the privileges TUN mode "
               "needs.\n"
               "After=network-online.target nftables.service iptables.service\n"
               "StartLimitIntervalSec=60\n"
               "StartLimitBurst=5\n"
               "\n"
               "[Service]\n"
               "Type=simple\n"
               "ExecStart=") +
           quote_exec_path(executable_path) + "\nGroup=" + gid_text +
           "\nEnvironment=" + OWNER_UID_VARIABLE + "=" + uid_text +
           "\nEnvironment=" + OWNER_GID_VARIABLE + "=" + gid_text +
           "\nRuntimeDirectory=" + std::string(runtime_directory_name()) +
           "\n"
           "RuntimeDirectoryMode=0755\n"
           "Restart=on-failure\n"
           "RestartSec=5\n"
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

}  // namespace zembra::service
