#include "service/linux/install.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "service/identity.hpp"
#include "service/linux/executable_path.hpp"
#include "service/linux/file_descriptor.hpp"
#include "service/linux/owner.hpp"
#include "service/linux/replace_file.hpp"
#include "service/linux/root_only.hpp"
#include "service/linux/run_program.hpp"
#include "service/linux/unit_file.hpp"
#include "utf8.hpp"

namespace zembra::service {
namespace {

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) {
        if (!text.empty()) text += ' ';
        text += word;
    }
    return text;
}

// Where the first invalid UTF-8 sequence in `bytes` starts.
Error invalid_utf8_error(std::string_view bytes) {
    std::size_t offset = 0;
    while (const std::size_t n = utf8_sequence_length(bytes.substr(offset)))
        offset += n;
    return Error("invalid UTF-8 sequence at byte " + std::to_string(offset));
}

// The variable's value, unless it is absent or not UTF-8.
const char* utf8_env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && is_valid_utf8(value) ? value : nullptr;
}

// pkexec sets PKEXEC_UID, sudo SUDO_UID; the first one present wins even if it does not parse.
Result<std::uint32_t> invoking_user_id() {
    const char* value = utf8_env("PKEXEC_UID");
    if (value == nullptr) value = utf8_env("SUDO_UID");
    if (value == nullptr) {
        return fail("neither PKEXEC_UID nor SUDO_UID is set; run the installer through pkexec");
    }
    Result<std::uint32_t> uid = parse_owner_id(value);
    if (!uid) return fail(std::move(uid).error().context("the invoking user ID is not usable"));
    return uid;
}

Result<std::uint32_t> invoking_group_id(std::uint32_t uid) {
    const std::string uid_text = std::to_string(uid);
    Result<FinishedProgram> id =
        run_program({"id", "-g", uid_text},
                    {ProgramInput::Null, ProgramOutput::Capture, ProgramOutput::Capture});
    if (!id) return fail(std::move(id).error().context("query the invoking user"));
    if (!exited_successfully(id->wait_status)) {
        return fail("id -g " + uid_text + " failed with " + exit_status_text(id->wait_status));
    }
    if (!is_valid_utf8(id->out)) {
        return fail(invalid_utf8_error(id->out).context("id returned invalid UTF-8"));
    }
    const std::string_view output = trim_white_space(id->out);
    if (output.empty()) return fail("id -g " + uid_text + " returned nothing");
    Result<std::uint32_t> gid = parse_owner_id(output);
    if (!gid) return fail(std::move(gid).error().context("the invoking group is not usable"));
    return gid;
}

// The unit file's text, or none when there is no unit file.
Result<std::optional<std::string>> read_unit_file(const std::string& path) {
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file && errno == ENOENT) return std::nullopt;
    if (!file) return fail(Error::last_os());
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail(Error::last_os());
        text.append(buffer, static_cast<std::size_t>(n));
    }
    if (!is_valid_utf8(text)) return fail(invalid_utf8_error(text));
    return text;
}

// The uid on the first line that starts with the owner uid setting; 0 counts, a value that
// does not parse counts as none.
std::optional<std::uint32_t> installed_owner(std::string_view unit_text) {
    const std::string prefix = std::string("Environment=") + OWNER_UID_VARIABLE + "=";
    for (std::size_t start = 0; start <= unit_text.size();) {
        const std::size_t end = std::min(unit_text.find('\n', start), unit_text.size());
        // A CR before the LF is white space, so trimming the value drops it.
        const std::string_view line = unit_text.substr(start, end - start);
        if (line.starts_with(prefix)) {
            const Result<std::uint32_t> uid =
                parse_unsigned_id(trim_white_space(line.substr(prefix.size())));
            return uid ? std::optional(*uid) : std::nullopt;
        }
        start = end + 1;
    }
    return std::nullopt;
}

Result<> write_unit_file(const std::string& text) {
    const std::string path = unit_file_path();
    // Never writable by others, not even for a moment: whoever opened it then would keep a
    // descriptor to rewrite ExecStart= with.
    if (Result<> written = replace_file(path, text, 0644); !written) {
        return fail(std::move(written).error().context("write " + lossy_utf8(path)));
    }
    return {};
}

Error not_root_only(const std::string& path) {
    return Error(lossy_utf8(path) +
                 " must be owned by root and not writable by group or others to run as a "
                 "service; install the package instead of running an unpacked bundle");
}

}  // namespace

Result<> check_executable_ownership(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        return fail(Error::last_os().context("inspect " + lossy_utf8(path)));
    }
    if (!writable_by_root_only(status)) return fail(not_root_only(path));
    return {};
}

Result<> check_directory_chain(const std::string& directory) {
    std::string walked = "/";
    FileDescriptor parent;
    FileDescriptor current(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    for (std::size_t start = 0;;) {
        struct stat status {};
        if (!current || ::fstat(current.get(), &status) != 0) {
            return fail(Error::last_os().context("inspect " + lossy_utf8(walked)));
        }
        if (!writable_by_root_only(status)) return fail(not_root_only(walked));
        start = directory.find_first_not_of('/', start);
        if (start == std::string::npos) return {};
        const std::size_t end = std::min(directory.find('/', start), directory.size());
        const std::string name = directory.substr(start, end - start);
        if (!walked.ends_with('/')) walked += '/';
        walked += name;
        // Nothing is closed between the open and the errno it may leave.
        parent = std::move(current);
        current = FileDescriptor(
            ::openat(parent.get(), name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        start = end;
    }
}

Result<> ensure_unit_is_free_for(std::uint32_t uid) {
    const std::string path = unit_file_path();
    Result<std::optional<std::string>> text = read_unit_file(path);
    if (!text) return fail(std::move(text).error().context("read " + lossy_utf8(path)));
    if (!*text) return {};
    const std::optional<std::uint32_t> owner = installed_owner(**text);
    if (owner && *owner != uid) {
        return fail("the Helper is already installed for UID " + std::to_string(*owner) +
                    "; run `" + std::string(executable_name()) + " uninstall` as that user first");
    }
    return {};
}

Result<> run_systemctl(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {"systemctl"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    Result<FinishedProgram> systemctl = run_program(argv);
    if (!systemctl) {
        return fail(std::move(systemctl).error().context("run systemctl " + joined(arguments)));
    }
    if (!exited_successfully(systemctl->wait_status)) {
        return fail("systemctl " + joined(arguments) + " failed with " +
                    exit_status_text(systemctl->wait_status));
    }
    return {};
}

Result<> install() {
    Result<std::string> executable = current_executable_path();
    if (!executable) {
        return fail(std::move(executable).error().context("resolve helper executable path"));
    }
    if (!exec_start_can_hold(*executable)) {
        return fail(
            "the helper executable path contains a control character, which a unit file cannot "
            "hold; install the package instead of running an unpacked bundle");
    }
    const std::optional<std::string> directory = parent_directory(*executable);
    if (!directory) return fail("helper executable has no parent directory");
    if (Result<> checked = check_executable_ownership(*executable); !checked) return checked;
    if (Result<> checked = check_directory_chain(*directory); !checked) return checked;

    const Result<std::uint32_t> uid = invoking_user_id();
    if (!uid) return fail(uid.error());
    const Result<std::uint32_t> gid = invoking_group_id(*uid);
    if (!gid) return fail(gid.error());
    if (Result<> free = ensure_unit_is_free_for(*uid); !free) return free;

    if (Result<> written = write_unit_file(unit_file_text(*executable, *uid, *gid)); !written) {
        return written;
    }
    const std::string service(service_name());
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"daemon-reload"}, std::vector<std::string>{"enable", service},
          std::vector<std::string>{"restart", service}}) {
        if (Result<> ran = run_systemctl(arguments); !ran) return ran;
    }
    return {};
}

Result<> uninstall() {
    const std::string service(service_name());
    // An absent unit, a stopped service or a missing systemctl must not stop the removal.
    static_cast<void>(
        run_program({"systemctl", "disable", "--now", service},
                    {ProgramInput::Inherit, ProgramOutput::Discard, ProgramOutput::Discard}));
    const std::string path = unit_file_path();
    if (::unlink(path.c_str()) != 0) {
        if (errno == ENOENT) return {};
        return fail(Error::last_os().context("remove " + lossy_utf8(path)));
    }
    return run_systemctl({"daemon-reload"});
}

}  // namespace zembra::service
