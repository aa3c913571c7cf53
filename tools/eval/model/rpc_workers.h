// Remote workers: machines that run ggml-rpc-server and hold some of the
// model's layers. ggml's RPC backend does the work; this file checks the
// servers a user names and registers them with ggml before the runtime is
// opened, so that the configuration's n_gpu_layers places layers on them.
//
// ggml aborts the process when a server it is given cannot be reached or
// does not answer as an RPC server, and waits forever on a listener that
// never answers. Every server is therefore reached with a bounded TCP
// connect and then put through ggml's own handshake in a child process that
// is killed when it takes too long, before the server is registered here.
#pragma once

#include <string>
#include <vector>

namespace vl_eval {

struct rpc_endpoint {
    std::string host;  // a name or IPv4 address, as ggml resolves it
    int port = 0;      // 1 to 65535

    std::string text() const { return host + ":" + std::to_string(port); }
};

// Splits "HOST:PORT[,HOST:PORT...]" (spaces around an entry are ignored) into
// endpoints. Returns an error naming the entry at fault, empty on success:
// an empty entry, no port, a port that is not a number from 1 to 65535, an
// IPv6 address (ggml's RPC client speaks IPv4 only), an endpoint named
// twice, or more servers than ggml's RPC backend takes.
std::string parse_rpc_endpoints(const std::string &list, std::vector<rpc_endpoint> &out);

// Resolves the host and opens a TCP connection to the endpoint, waiting at
// most timeout_ms for it, then closes it again. Returns an error naming the
// endpoint, empty when the connection was made.
std::string check_rpc_reachable(const rpc_endpoint &endpoint, int timeout_ms);

// Loads ggml's dynamically loaded backends and checks that the RPC backend
// is among them. Returns an error, empty on success.
std::string load_rpc_backend();

// Runs ggml's RPC handshake with the endpoint in a child process that is
// killed after timeout_ms, so that a server of another protocol version, or
// a listener that is not an RPC server at all, gives an error naming it
// instead of aborting or stopping this process. Needs load_rpc_backend().
std::string check_rpc_handshake(const rpc_endpoint &endpoint, int timeout_ms);

// Limits of the checks add_rpc_workers makes.
struct rpc_check_limits {
    int connect_timeout_ms = 3000;
    int handshake_timeout_ms = 10000;
};

// Everything a host does before vl_llama_open to use remote workers: parses
// the list, reaches and checks every server, and only when all of them
// passed registers each with ggml's backend registry (for the rest of the
// process). Returns an error naming the server at fault, empty on success;
// on error nothing was registered.
std::string add_rpc_workers(const std::string &list, const rpc_check_limits &limits = {});

// A worker lost during a run (its process or machine went away) makes ggml
// end the program. Without this, the first write to the closed connection
// ends it by SIGPIPE without a word; with it, the write fails, ggml reports
// the failure, and the report is preceded by what the run should do next.
// Ignores SIGPIPE for the rest of the process.
void report_lost_workers();

}  // namespace vl_eval
