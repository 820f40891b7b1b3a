// MorvikCore stand-in for the tests and the demo.
//
// Started as `MorvikCore ADDRESS`. Its bytes are fixed (the helper checks their digest), so what
// it does is chosen per start by a control file next to the address: "ADDRESS.mode". Without
// that file it writes two friendly lines to stderr and runs until SIGTERM.
//
// The control file holds one command per line, run in order; blank lines and lines starting
// with '#' are skipped. After the last command the Core waits for a signal (SIGTERM ends it
// unless it was ignored).
//
//   report          one line per fact on stderr:
//                     uid=REAL,EFFECTIVE,SAVED   gid=REAL,EFFECTIVE,SAVED   cwd=PATH
//                     argv=ARG0|ARG1|...         fds=0,1,2 (open descriptors, ascending)
//                     sigpipe=default|ignored|caught
//                     blocked=none or the blocked signal numbers, comma-separated
//   ignore-term     ignore SIGTERM from now on
//   print TEXT      write TEXT to stderr as given, with \n \r \\ and \xHH escapes (no newline
//                   is added, so "print a\r\n", "print last" and "print \xff\n" all work)
//   lines N         write N lines "line 1" ... "line N"
//   long N          write one line of N letters 'a', then a newline
//   close-stderr    close descriptor 2
//   sleep MS        sleep MS milliseconds
//   exit CODE       exit with CODE at once
#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

void write_stderr(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(2, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

std::string unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char kind = text[++i];
        if (kind == 'n') {
            out += '\n';
        } else if (kind == 'r') {
            out += '\r';
        } else if (kind == 'x' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += kind;
        }
    }
    return out;
}

std::string ids(int (*get)(unsigned*, unsigned*, unsigned*)) {
    unsigned real = 0, effective = 0, saved = 0;
    get(&real, &effective, &saved);
    return std::to_string(real) + "," + std::to_string(effective) + "," + std::to_string(saved);
}

int get_uids(unsigned* r, unsigned* e, unsigned* s) {
    return ::getresuid(r, e, s);
}
int get_gids(unsigned* r, unsigned* e, unsigned* s) {
    return ::getresgid(r, e, s);
}

std::string open_descriptors() {
    std::vector<int> fds;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return "?";
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const int fd = std::atoi(entry->d_name);
        if (fd != ::dirfd(dir)) fds.push_back(fd);
    }
    ::closedir(dir);
    std::string text;
    for (std::size_t i = 0; i < fds.size(); ++i)
        text += (i ? "," : "") + std::to_string(fds[i]);
    return text;
}

void report(char** argv) {
    char cwd[4096] = "?";
    if (::getcwd(cwd, sizeof cwd) == nullptr) cwd[0] = '?';
    std::string args;
    for (char** arg = argv; *arg != nullptr; ++arg)
        args += (arg == argv ? "" : "|") + std::string(*arg);
    struct sigaction pipe_action = {};
    ::sigaction(SIGPIPE, nullptr, &pipe_action);
    const char* sigpipe = pipe_action.sa_handler == SIG_DFL   ? "default"
                          : pipe_action.sa_handler == SIG_IGN ? "ignored"
                                                              : "caught";
    sigset_t mask;
    ::sigprocmask(SIG_BLOCK, nullptr, &mask);
    std::string blocked;
    for (int signal = 1; signal < NSIG; ++signal) {
        if (::sigismember(&mask, signal) == 1)
            blocked += (blocked.empty() ? "" : ",") + std::to_string(signal);
    }
    write_stderr("uid=" + ids(get_uids) + "\ngid=" + ids(get_gids) + "\ncwd=" + cwd +
                 "\nargv=" + args + "\nfds=" + open_descriptors() + "\nsigpipe=" + sigpipe +
                 "\nblocked=" + (blocked.empty() ? "none" : blocked) + "\n");
}

void run(const std::string& command, const std::string& argument, char** argv) {
    if (command == "report") {
        report(argv);
    } else if (command == "ignore-term") {
        ::signal(SIGTERM, SIG_IGN);
    } else if (command == "print") {
        write_stderr(unescape(argument));
    } else if (command == "lines") {
        const int count = std::atoi(argument.c_str());
        for (int i = 1; i <= count; ++i)
            write_stderr("line " + std::to_string(i) + "\n");
    } else if (command == "long") {
        write_stderr(std::string(std::strtoul(argument.c_str(), nullptr, 10), 'a') + "\n");
    } else if (command == "close-stderr") {
        ::close(2);
    } else if (command == "sleep") {
        ::usleep(static_cast<useconds_t>(std::atoi(argument.c_str())) * 1000);
    } else if (command == "exit") {
        std::exit(std::atoi(argument.c_str()));
    } else {
        write_stderr("MorvikCore: unknown command " + command + "\n");
    }
}

// The commands of the control file; read whole first so that its descriptor is closed before any
// command runs (a report must show only what the Core inherited).
std::vector<std::string> read_commands(const std::string& path) {
    std::vector<std::string> commands;
    std::ifstream control(path);
    for (std::string line; std::getline(control, line);) {
        if (!line.empty() && line[0] != '#') commands.push_back(line);
    }
    return commands;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string address = argc > 1 ? argv[1] : "";
    const std::string control = address + ".mode";
    if (::access(control.c_str(), F_OK) != 0) {
        write_stderr("MorvikCore (demo) started for " + address + "\n");
        write_stderr("MorvikCore (demo) running until SIGTERM\n");
    }
    for (const std::string& line : read_commands(control)) {
        const std::size_t space = line.find(' ');
        run(line.substr(0, space), space == std::string::npos ? "" : line.substr(space + 1), argv);
    }
    for (;;)
        ::pause();
}
