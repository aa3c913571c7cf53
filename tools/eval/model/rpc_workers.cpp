#include "model/rpc_workers.h"

#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ggml-backend.h>
#include <ggml.h>
#include <ggml-rpc.h>

namespace vl_eval {
namespace {

using add_server_fn = decltype(&ggml_backend_rpc_add_server);
using steady = std::chrono::steady_clock;

std::string trimmed(const std::string &s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    const auto last = s.find_last_not_of(" \t");
    return s.substr(first, last - first + 1);
}

std::string seconds(int ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", ms / 1000.0);
    return text;
}

// Milliseconds left until deadline, never negative.
int ms_left(steady::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

struct fd_owner {
    int fd = -1;
    explicit fd_owner(int f) : fd(f) {}
    fd_owner(const fd_owner &) = delete;
    fd_owner &operator=(const fd_owner &) = delete;
    ~fd_owner() {
        if (fd >= 0) close(fd);
    }
};

struct addrinfo_owner {
    addrinfo *list = nullptr;
    ~addrinfo_owner() {
        if (list != nullptr) freeaddrinfo(list);
    }
};

// The RPC backend's function that adds one server, or null before
// load_rpc_backend() or when the backend lacks it.
add_server_fn find_add_server() {
    ggml_backend_reg_t reg = ggml_backend_reg_by_name("RPC");
    if (reg == nullptr) return nullptr;
    return reinterpret_cast<add_server_fn>(
        ggml_backend_reg_get_proc_address(reg, "ggml_backend_rpc_add_server"));
}

// The last non-empty line of a child's stderr, without ggml's "file:line: "
// prefix: the reason ggml gave when it aborted.
std::string last_reason(const std::string &output) {
    std::size_t end = output.size();
    while (end > 0 && (output[end - 1] == '\n' || output[end - 1] == '\r')) --end;
    const std::size_t start = output.rfind('\n', end == 0 ? 0 : end - 1);
    std::string line = output.substr(start == std::string::npos ? 0 : start + 1,
                                     end - (start == std::string::npos ? 0 : start + 1));
    const std::size_t colon = line.find(": ");
    if (colon != std::string::npos) {
        const std::size_t number = line.rfind(':', colon - 1);
        if (number != std::string::npos && number + 1 < colon &&
            line.find_first_not_of("0123456789", number + 1) == colon) {
            line = line.substr(colon + 2);
        }
    }
    return line;
}

// Reads what the child writes into fd until it closes it or deadline passes;
// keeps the last 4 KiB. Returns false on timeout.
bool read_until_closed(int fd, steady::time_point deadline, std::string &output) {
    char chunk[512];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, ms_left(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return true;
        output.append(chunk, static_cast<std::size_t>(n));
        if (output.size() > 4096) output.erase(0, output.size() - 4096);
    }
}

// Waits for the child until deadline; kills it by its id past the deadline.
// Returns false on timeout, with the child killed and reaped.
bool reap(pid_t pid, steady::time_point deadline, int &status) {
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return true;
        if (done < 0 && errno != EINTR) return true;  // not ours any more
        if (ms_left(deadline) == 0) break;
        usleep(10 * 1000);
    }
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return false;
}

void on_ggml_abort(const char *message) {
    std::fprintf(stderr,
                 "vl-eval: stopped by ggml: %s\n"
                 "vl-eval: if a remote worker went away, the results written so far are kept: "
                 "start it again and rerun with --resume\n",
                 message != nullptr ? message : "");
}

}  // namespace

std::string parse_rpc_endpoints(const std::string &list, std::vector<rpc_endpoint> &out) {
    out.clear();
    std::set<std::string> seen;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = list.find(',', start);
        const std::string entry =
            trimmed(list.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (entry.empty()) {
            return "empty entry in the RPC server list \"" + list + "\" (expected HOST:PORT[,HOST:PORT...])";
        }
        const std::size_t colon = entry.rfind(':');
        if (colon == std::string::npos) {
            return "RPC server \"" + entry + "\" has no port (expected HOST:PORT)";
        }
        rpc_endpoint endpoint;
        endpoint.host = trimmed(entry.substr(0, colon));
        const std::string port = trimmed(entry.substr(colon + 1));
        if (endpoint.host.empty()) {
            return "RPC server \"" + entry + "\" has no host (expected HOST:PORT)";
        }
        if (endpoint.host.find(':') != std::string::npos || endpoint.host.front() == '[') {
            return "RPC server \"" + entry +
                   "\": ggml's RPC backend takes IPv4 addresses and host names, not IPv6 addresses";
        }
        if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
            std::atoi(port.c_str()) < 1 || std::atoi(port.c_str()) > 65535) {
            return "RPC server \"" + entry + "\": the port must be a number from 1 to 65535";
        }
        endpoint.port = std::atoi(port.c_str());
        if (!seen.insert(endpoint.text()).second) {
            return "RPC server " + endpoint.text() + " is named twice";
        }
        out.push_back(endpoint);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (out.size() > GGML_RPC_MAX_SERVERS) {
        return "at most " + std::to_string(GGML_RPC_MAX_SERVERS) + " RPC servers can be used, " +
               std::to_string(out.size()) + " were given";
    }
    return "";
}

std::string check_rpc_reachable(const rpc_endpoint &endpoint, int timeout_ms) {
    const std::string name = "cannot reach RPC server " + endpoint.text() + ": ";
    addrinfo hints{};
    hints.ai_family = AF_INET;  // what ggml's RPC client connects over
    hints.ai_socktype = SOCK_STREAM;
    addrinfo_owner found;
    const int gai = getaddrinfo(endpoint.host.c_str(), std::to_string(endpoint.port).c_str(), &hints,
                                &found.list);
    if (gai != 0 || found.list == nullptr) {
        return name + "cannot resolve host \"" + endpoint.host + "\" (" +
               (gai != 0 ? gai_strerror(gai) : "no address") + ")";
    }
    // ggml connects to the first address the name resolves to.
    fd_owner sock(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (sock.fd < 0) return name + std::strerror(errno);
    if (connect(sock.fd, found.list->ai_addr, found.list->ai_addrlen) == 0) return "";
    if (errno != EINPROGRESS) return name + std::strerror(errno);

    const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        pollfd p{sock.fd, POLLOUT, 0};
        const int ready = poll(&p, 1, ms_left(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return name + std::strerror(errno);
        if (ready == 0) return name + "no answer within " + seconds(timeout_ms);
        break;
    }
    int so_error = 0;
    socklen_t len = sizeof so_error;
    if (getsockopt(sock.fd, SOL_SOCKET, SO_ERROR, &so_error, &len) != 0) return name + std::strerror(errno);
    if (so_error != 0) return name + std::strerror(so_error);
    return "";
}

std::string load_rpc_backend() {
    ggml_backend_load_all();  // loads each backend once, however often called
    if (ggml_backend_reg_by_name("RPC") == nullptr) {
        return "ggml's RPC backend is not installed (on Debian: the package libggml0-backend-rpc)";
    }
    if (find_add_server() == nullptr) {
        return "ggml's RPC backend has no ggml_backend_rpc_add_server; it is too old for remote workers";
    }
    return "";
}

std::string check_rpc_handshake(const rpc_endpoint &endpoint, int timeout_ms) {
    const add_server_fn add = find_add_server();
    if (add == nullptr) return "ggml's RPC backend is not loaded";
    const std::string text = endpoint.text();

    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        return "cannot check RPC server " + text + ": " + std::strerror(errno);
    }
    fd_owner read_end(pipe_fds[0]);
    fd_owner write_end(pipe_fds[1]);
    std::fflush(nullptr);  // the child must not write this process's buffered output again
    const pid_t pid = fork();
    if (pid < 0) return "cannot check RPC server " + text + ": " + std::strerror(errno);
    if (pid == 0) {
        // The child: ggml's messages go into the pipe, an abort leaves no
        // core file, and _exit skips every handler the parent installed.
        dup2(write_end.fd, STDERR_FILENO);
        const rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        setenv("GGML_NO_BACKTRACE", "1", 1);
        ggml_backend_reg_t reg = add(text.c_str());
        _exit(reg != nullptr && ggml_backend_reg_dev_count(reg) > 0 ? 0 : 3);
    }
    close(write_end.fd);
    write_end.fd = -1;

    const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
    std::string output;
    int status = 0;
    const bool closed = read_until_closed(read_end.fd, deadline, output);
    if (!reap(pid, closed ? deadline : steady::now(), status)) {
        return "RPC server " + text + " did not complete ggml's RPC handshake within " +
               seconds(timeout_ms) + " (is it a ggml-rpc-server of the same ggml version?)";
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return "";
    if (WIFEXITED(status) && WEXITSTATUS(status) == 3) {
        return "RPC server " + text + " offers no devices";
    }
    std::string reason = last_reason(output);
    if (reason.empty()) {
        reason = WIFSIGNALED(status) ? std::string("stopped by signal ") + std::to_string(WTERMSIG(status))
                                     : "exit status " + std::to_string(WEXITSTATUS(status));
    }
    return "RPC server " + text + " failed ggml's RPC handshake: " + reason;
}

std::string add_rpc_workers(const std::string &list, const rpc_check_limits &limits) {
    std::vector<rpc_endpoint> endpoints;
    std::string error = parse_rpc_endpoints(list, endpoints);
    if (!error.empty()) return error;
    for (const rpc_endpoint &endpoint : endpoints) {
        error = check_rpc_reachable(endpoint, limits.connect_timeout_ms);
        if (!error.empty()) return error;
    }
    error = load_rpc_backend();
    if (!error.empty()) return error;
    for (const rpc_endpoint &endpoint : endpoints) {
        error = check_rpc_handshake(endpoint, limits.handshake_timeout_ms);
        if (!error.empty()) return error;
    }
    // Every server is added before any is registered: when one cannot be,
    // none of them is left among ggml's devices.
    const add_server_fn add = find_add_server();
    std::vector<ggml_backend_reg_t> added;
    for (const rpc_endpoint &endpoint : endpoints) {
        ggml_backend_reg_t reg = add(endpoint.text().c_str());
        if (reg == nullptr) return "ggml's RPC backend could not add server " + endpoint.text();
        added.push_back(reg);
    }
    for (ggml_backend_reg_t reg : added) ggml_backend_register(reg);
    return "";
}

void report_lost_workers() {
    std::signal(SIGPIPE, SIG_IGN);
    ggml_set_abort_callback(on_ggml_abort);
}

}  // namespace vl_eval
