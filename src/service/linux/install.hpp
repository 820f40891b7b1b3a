// The `install` and `uninstall` commands: make this executable the systemd service of the user
// who ran the installer through pkexec or sudo, or remove that service. Everything here blocks
// (it runs systemctl and id) and runs on the main thread only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "error.hpp"

namespace zembra::service {

// Checks the executable path, the directories above it and the invoking user, writes the unit,
// then daemon-reload, enable and restart. Nothing done before a failing step is undone; running
// it again completes it.
Result<> install();

// Stops and disables the service (output hidden, outcome ignored), removes the unit file and
// reloads systemd. Succeeds without a reload when there is no unit file.
Result<> uninstall();

// Runs systemctl with `arguments`, its standard streams inherited; fails unless it exits with 0.
Result<> run_systemctl(const std::vector<std::string>& arguments);

// Fails when the unit file names another owner uid; an absent file, or one without a usable
// uid line, is free.
Result<> ensure_unit_is_free_for(std::uint32_t uid);

// Fails unless `path` (symbolic links followed) is owned by root and not group/other-writable.
Result<> check_executable_ownership(const std::string& path);

// Fails unless every directory from "/" down to `directory` (absolute, free of symbolic links)
// is owned by root and not group/other-writable, sticky ones included; names the top-most one
// that is not. Each is opened below the one checked before it, so none can be swapped in between.
Result<> check_directory_chain(const std::string& directory);

}  // namespace zembra::service
