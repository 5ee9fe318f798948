// SPDX-License-Identifier: MIT
// Copyright (c) 2026 The Dornel developers
//
// dornelsc: the service control command line. Queries, starts, stops and sends control codes
// to an installed service through the service layer, and waits (bounded) for the state a
// request leads to; "boxes" asks the running server for its box overview. Exit status 0 on
// success, 1 when the request failed or was refused, 2 for a usage error.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include <strings.h>

#include "platform/paths/paths.h"
#include "platform/remote/connection.h"
#include "platform/service/scm.h"

namespace {

constexpr int kWaitMs = 30000;  // longest wait for a start or a stop to finish
constexpr int kPollMs = 50;

void PrintUsage(std::FILE* out) {
    std::fputs(
        "Usage: dornelsc [--machine MACHINE | \\\\MACHINE] COMMAND NAME [CODE]\n"
        "       dornelsc --serve\n"
        "\n"
        "Controls an installed service.\n"
        "\n"
        "Commands:\n"
        "  query NAME          print the service's state and the controls it accepts\n"
        "  start NAME          start the installed program and wait until it runs\n"
        "  stop NAME           ask the service to stop and wait until its process is gone\n"
        "                      (where systemd runs and has the service's unit, both go\n"
        "                      through systemctl)\n"
        "  control NAME CODE   send control code CODE (1-255; 128-255 are the service's own);\n"
        "                      exit status 0 when the service accepted it; the service may\n"
        "                      add a note (a box that is not connected)\n"
        "  boxes NAME [--json] ask the running server for one line per box: number, name,\n"
        "                      address, state (connected, connecting or off line, since\n"
        "                      when), the last failure and its reason, the user served\n"
        "\n"
        "Options:\n"
        "  -h, --help          show this help\n"
        "  --machine MACHINE   act on the service of another machine, through ssh running\n"
        "                      \"dornelsc --serve\" there (HOST, USER@HOST, HOST:PORT; a\n"
        "                      leading \\\\ is dropped). ssh never prompts: use a key or an\n"
        "                      agent. DORNEL_SSH replaces the ssh command line (e.g.\n"
        "                      \"ssh -F /etc/dornel/ssh_config\").\n"
        "  --serve             answer a remote client on standard input and output\n"
        "  --json              boxes: one JSON object with a \"boxes\" array, for scripts\n"
        "\n"
        "The service layer keeps its state under $DORNEL_ROOT (default /var/lib/dornel);\n"
        "controlling a service needs the account it runs as (root).\n"
        "Exit status: 0 done, 1 failed or refused, 2 usage error.\n",
        out);
}

// Why a remote machine could not be reached, with ssh's own words.
std::string RemoteReason(DWORD error) {
    const std::string reason = platform::remote::LastConnectionError();
    return std::string(error == ERROR_BAD_NETPATH ? "cannot connect to the machine"
                                                  : "the connection to the machine was lost") +
           (reason.empty() ? "" : ": " + reason) + " (error " + std::to_string(error) + ")";
}

// Takes "--machine MACHINE" (anywhere) and a leading "\\\\MACHINE" out of the arguments.
// False (usage error) when --machine has no name.
bool TakeMachine(int* argc, char** argv, std::string* machine) {
    int kept = 1;
    for (int i = 1; i < *argc; ++i) {
        if (std::strcmp(argv[i], "--machine") == 0) {
            if (i + 1 >= *argc || !*argv[i + 1]) return false;
            *machine = argv[++i];
        } else if (i == 1 && std::strncmp(argv[i], "\\\\", 2) == 0 && argv[i][2]) {
            *machine = argv[i];
        } else {
            argv[kept++] = argv[i];
        }
    }
    *argc = kept;
    argv[kept] = nullptr;
    return true;
}

// True while the service handled is another machine's: its process ids are not ours to check.
bool remoteMachine = false;

// Why a request failed, in words an administrator can act on.
std::string Reason(DWORD error, const std::string& name, DWORD control = 0) {
    char text[512];
    switch (error) {
        case ERROR_SERVICE_DOES_NOT_EXIST:
            std::snprintf(text, sizeof text, "not installed");
            break;
        case ERROR_SERVICE_NOT_ACTIVE:
            std::snprintf(text, sizeof text, "not running");
            break;
        case ERROR_SERVICE_ALREADY_RUNNING:
            std::snprintf(text, sizeof text, "already running");
            break;
        case ERROR_ACCESS_DENIED:
            std::snprintf(text, sizeof text,
                          "permission denied (run as the service's account, root)");
            break;
        case ERROR_CALL_NOT_IMPLEMENTED:
            std::snprintf(text, sizeof text, "the service refused control code %lu",
                          static_cast<unsigned long>(control));
            break;
        case ERROR_INVALID_SERVICE_CONTROL:
            std::snprintf(text, sizeof text, "the service does not accept control code %lu",
                          static_cast<unsigned long>(control));
            break;
        case ERROR_SERVICE_CANNOT_ACCEPT_CTRL:
            std::snprintf(text, sizeof text,
                          "the service cannot take controls now (it is starting or stopping)");
            break;
        case ERROR_SERVICE_REQUEST_TIMEOUT:
            std::snprintf(text, sizeof text, "the service did not answer in time");
            break;
        case ERROR_PROCESS_ABORTED:
            std::snprintf(text, sizeof text, "the service process ended unexpectedly (see %s)",
                          platform::service::ServiceOutputPath(name).c_str());
            break;
        case ERROR_FILE_NOT_FOUND:
            std::snprintf(text, sizeof text, "the installed program was not found");
            break;
        case ERROR_INVALID_PARAMETER:
            std::snprintf(text, sizeof text, "invalid parameter");
            break;
        case ERROR_BAD_NETPATH:
        case ERROR_NETNAME_DELETED:
            return RemoteReason(error);
        default:
            std::snprintf(text, sizeof text, "failed");
            break;
    }
    return std::string(text) + " (error " + std::to_string(error) + ")";
}

int Fail(const std::string& name, DWORD error, DWORD control = 0) {
    std::fprintf(stderr, "dornelsc: %s: %s\n", name.c_str(), Reason(error, name, control).c_str());
    return 1;
}

void PrintControls(DWORD accepted) {
    std::printf("                                (%s, %s, %s)\n",
                accepted & SERVICE_ACCEPT_STOP ? "STOPPABLE" : "NOT_STOPPABLE",
                accepted & SERVICE_ACCEPT_PAUSE_CONTINUE ? "PAUSABLE" : "NOT_PAUSABLE",
                accepted & SERVICE_ACCEPT_SHUTDOWN ? "ACCEPTS_SHUTDOWN" : "IGNORES_SHUTDOWN");
}

void PrintStatus(const std::string& name, const SERVICE_STATUS_PROCESS& s) {
    std::printf("\nSERVICE_NAME: %s\n", name.c_str());
    std::printf("        TYPE               : %-2lx WIN32_OWN_PROCESS\n",
                static_cast<unsigned long>(s.dwServiceType));
    std::printf("        STATE              : %-2lu %s\n",
                static_cast<unsigned long>(s.dwCurrentState),
                platform::service::StateName(s.dwCurrentState));
    PrintControls(s.dwControlsAccepted);
    std::printf("        WIN32_EXIT_CODE    : %lu  (0x%lx)\n",
                static_cast<unsigned long>(s.dwWin32ExitCode),
                static_cast<unsigned long>(s.dwWin32ExitCode));
    std::printf("        SERVICE_EXIT_CODE  : %lu  (0x%lx)\n",
                static_cast<unsigned long>(s.dwServiceSpecificExitCode),
                static_cast<unsigned long>(s.dwServiceSpecificExitCode));
    std::printf("        CHECKPOINT         : 0x%lx\n", static_cast<unsigned long>(s.dwCheckPoint));
    std::printf("        WAIT_HINT          : 0x%lx\n", static_cast<unsigned long>(s.dwWaitHint));
    std::printf("        PID                : %lu\n", static_cast<unsigned long>(s.dwProcessId));
}

// Owns a service-manager handle.
class ScHandle {
  public:
    explicit ScHandle(SC_HANDLE handle) : handle_(handle) {}
    ~ScHandle() {
        if (handle_) CloseServiceHandle(handle_);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    SC_HANDLE get() const { return handle_; }

  private:
    SC_HANDLE handle_;
};

bool Query(SC_HANDLE service, SERVICE_STATUS_PROCESS* status) {
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(status),
                                sizeof *status, &needed) != 0;
}

// Polls until done(status) holds or the wait is over; false on a query failure or time-out.
template <typename Done>
bool WaitFor(SC_HANDLE service, SERVICE_STATUS_PROCESS* status, Done done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    for (;;) {
        if (!Query(service, status)) return false;
        if (done(*status)) return true;
        if (std::chrono::steady_clock::now() >= deadline) {
            SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
}

void PrintControlNote(SC_HANDLE service, const std::string& name);

int CommandQuery(SC_HANDLE service, const std::string& name) {
    SERVICE_STATUS_PROCESS status{};
    if (!Query(service, &status)) return Fail(name, GetLastError());
    PrintStatus(name, status);
    return 0;
}

int CommandStart(SC_HANDLE service, const std::string& name) {
    if (!StartServiceA(service, 0, nullptr)) return Fail(name, GetLastError());
    SERVICE_STATUS_PROCESS status{};
    if (!WaitFor(service, &status, [](const SERVICE_STATUS_PROCESS& s) {
            return s.dwCurrentState == SERVICE_RUNNING || s.dwCurrentState == SERVICE_STOPPED;
        })) {
        return Fail(name, GetLastError());
    }
    PrintStatus(name, status);
    if (status.dwCurrentState != SERVICE_RUNNING) {
        std::fprintf(stderr,
                     "dornelsc: %s: the service stopped while starting (exit code %lu; "
                     "see the NT event log and %s)\n",
                     name.c_str(), static_cast<unsigned long>(status.dwWin32ExitCode),
                     platform::service::ServiceOutputPath(name).c_str());
        return 1;
    }
    return 0;
}

int CommandStop(SC_HANDLE service, const std::string& name) {
    SERVICE_STATUS_PROCESS before{};
    if (!Query(service, &before)) return Fail(name, GetLastError());
    if (before.dwCurrentState == SERVICE_STOPPED) return Fail(name, ERROR_SERVICE_NOT_ACTIVE);
    SERVICE_STATUS reported{};
    if (!ControlService(service, SERVICE_CONTROL_STOP, &reported)) {
        return Fail(name, GetLastError(), SERVICE_CONTROL_STOP);
    }
    const DWORD pid = before.dwProcessId;
    SERVICE_STATUS_PROCESS status{};
    if (!WaitFor(service, &status, [pid](const SERVICE_STATUS_PROCESS& s) {
            return s.dwCurrentState == SERVICE_STOPPED &&
                   (remoteMachine || platform::service::ProcessGone(pid));
        })) {
        return Fail(name, GetLastError());
    }
    PrintStatus(name, status);
    return 0;
}

int CommandControl(SC_HANDLE service, const std::string& name, const char* codeText) {
    char* end = nullptr;
    unsigned long code = std::strtoul(codeText, &end, 10);
    if (!*codeText || *end || code == 0 || code > 255) {
        std::fprintf(stderr, "dornelsc: invalid control code '%s' (1-255)\n", codeText);
        return 2;
    }
    SERVICE_STATUS reported{};
    if (!ControlService(service, static_cast<DWORD>(code), &reported)) {
        return Fail(name, GetLastError(), static_cast<DWORD>(code));
    }
    SERVICE_STATUS_PROCESS status{};
    if (!Query(service, &status)) return Fail(name, GetLastError());
    PrintStatus(name, status);
    if (code >= 128) PrintControlNote(service, name);
    return 0;
}

// ---- The box overview ---------------------------------------------------------------

// Report topics of the server (dornelman): the box overview and the last control's note.
constexpr DWORD kReportBoxes = 1;
constexpr DWORD kReportControlNote = 2;

struct BoxLine {
    std::string number, name, address, state, user;
    long long since = 0;
    std::string failure;
    long long failureAt = 0;
    bool heldOffLine = false;
};

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
        if (tab == std::string::npos) return fields;
        start = tab + 1;
    }
}

std::vector<BoxLine> ParseBoxes(const std::string& text) {
    std::vector<BoxLine> boxes;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::vector<std::string> f = SplitTabs(text.substr(start, end - start));
        start = end + 1;
        if (f.size() < 9) continue;
        BoxLine box;
        box.number = f[0];
        box.name = f[1];
        box.address = f[2];
        box.state = f[3];
        box.since = std::atoll(f[4].c_str());
        box.failure = f[5];
        box.failureAt = std::atoll(f[6].c_str());
        box.user = f[7];
        box.heldOffLine = f[8] == "1";
        boxes.push_back(box);
    }
    return boxes;
}

std::string LocalTime(long long seconds) {
    if (seconds <= 0) return "-";
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm parts{};
    localtime_r(&t, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

std::string IsoTime(long long seconds) {
    if (seconds <= 0) return {};
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm parts{};
    gmtime_r(&t, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

std::string Json(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string JsonTime(long long seconds) { return seconds > 0 ? Json(IsoTime(seconds)) : "null"; }

std::string StateWords(const BoxLine& box) {
    if (box.state == "connected") {
        return std::string("connected since ") + LocalTime(box.since) +
               (box.heldOffLine ? " (held off line)" : "");
    }
    if (box.state == "connecting") return "connecting since " + LocalTime(box.since);
    if (box.state == "offline") return "off line since " + LocalTime(box.since);
    return "not started (no key or no address)";
}

int CommandBoxes(SC_HANDLE service, const std::string& name, bool json) {
    std::string text;
    if (!QueryServiceReport(service, kReportBoxes, &text)) {
        DWORD error = GetLastError();
        if (error == ERROR_CALL_NOT_IMPLEMENTED) {
            std::fprintf(stderr, "dornelsc: %s: the service keeps no box overview\n", name.c_str());
            return 1;
        }
        return Fail(name, error);
    }
    std::vector<BoxLine> boxes = ParseBoxes(text);
    if (json) {
        std::string out = "{\"service\": " + Json(name) + ", \"boxes\": [";
        for (std::size_t i = 0; i < boxes.size(); ++i) {
            const BoxLine& b = boxes[i];
            out += std::string(i ? ", " : "") + "{\"number\": " + b.number +
                   ", \"name\": " + Json(b.name) + ", \"address\": " + Json(b.address) +
                   ", \"state\": " + Json(b.state) + ", \"since\": " + JsonTime(b.since) +
                   ", \"held_off_line\": " + (b.heldOffLine ? "true" : "false") +
                   ", \"last_failure\": " + (b.failure.empty() ? "null" : Json(b.failure)) +
                   ", \"last_failure_at\": " + JsonTime(b.failureAt) +
                   ", \"user\": " + (b.user.empty() ? "null" : Json(b.user)) + "}";
        }
        out += "]}\n";
        std::fputs(out.c_str(), stdout);
        return 0;
    }
    if (boxes.empty()) std::printf("%s serves no boxes\n", name.c_str());
    for (const BoxLine& b : boxes) {
        std::string line = b.number + "  " + b.name + "  " + (b.address.empty() ? "-" : b.address) +
                           "  " + StateWords(b);
        if (!b.failure.empty()) {
            line += "  last failure: " + b.failure + " at " + LocalTime(b.failureAt);
        }
        line += "  user: " + (b.user.empty() ? std::string("-") : b.user);
        std::printf("%s\n", line.c_str());
    }
    return 0;
}

// After a control code the service took: the note it left, if any, on standard error.
void PrintControlNote(SC_HANDLE service, const std::string& name) {
    std::string note;
    if (QueryServiceReport(service, kReportControlNote, &note) && !note.empty()) {
        std::fprintf(stderr, "dornelsc: %s: %s\n", name.c_str(), note.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--serve") == 0) {
        return platform::service::ServeRemote(0, 1);
    }
    std::string machine;
    if (!TakeMachine(&argc, argv, &machine)) {
        PrintUsage(stderr);
        return 2;
    }
    // This host's own name is this machine: it is served here, as without --machine.
    remoteMachine = !platform::remote::IsLocalMachine(machine.c_str());
    if (!remoteMachine) machine.clear();
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0 ||
            std::strcmp(argv[i], "help") == 0) {
            PrintUsage(stdout);
            return 0;
        }
    }
    if (argc < 3) {
        PrintUsage(stderr);
        return 2;
    }
    const std::string command = argv[1];
    const std::string name = argv[2];
    const bool takesCode = ::strcasecmp(command.c_str(), "control") == 0;
    const bool boxes = ::strcasecmp(command.c_str(), "boxes") == 0;
    const bool json = boxes && argc == 4 && std::strcmp(argv[3], "--json") == 0;
    if ((takesCode && argc != 4) || (boxes && argc != 3 && !json) ||
        (!takesCode && !boxes && argc != 3)) {
        PrintUsage(stderr);
        return 2;
    }
    if (::strcasecmp(command.c_str(), "query") != 0 &&
        ::strcasecmp(command.c_str(), "start") != 0 && ::strcasecmp(command.c_str(), "stop") != 0 &&
        !takesCode && !boxes) {
        std::fprintf(stderr, "dornelsc: unknown command '%s'\n", command.c_str());
        PrintUsage(stderr);
        return 2;
    }

    if (machine.empty()) {
        std::string rootProblem;
        if (!platform::paths::CheckDefaultRoot(&rootProblem)) {
            std::fprintf(stderr, "dornelsc: %s\n", rootProblem.c_str());
            return 1;
        }
    }
    ScHandle manager(
        OpenSCManagerA(machine.empty() ? nullptr : machine.c_str(), nullptr, SC_MANAGER_CONNECT));
    if (!manager.get()) return Fail(name, GetLastError());
    ScHandle service(OpenServiceA(manager.get(), name.c_str(), SERVICE_ALL_ACCESS));
    if (!service.get()) return Fail(name, GetLastError());

    if (::strcasecmp(command.c_str(), "query") == 0) return CommandQuery(service.get(), name);
    // Where systemd knows the service, the service layer starts and stops it through
    // systemctl (on the machine that runs it).
    if (::strcasecmp(command.c_str(), "start") == 0) return CommandStart(service.get(), name);
    if (::strcasecmp(command.c_str(), "stop") == 0) return CommandStop(service.get(), name);
    if (boxes) return CommandBoxes(service.get(), name, json);
    return CommandControl(service.get(), name, argv[3]);
}
