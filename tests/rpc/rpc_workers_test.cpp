// Checks of remote RPC workers that need no ggml-rpc-server: endpoint lists,
// the bounded connect, and ggml's handshake against listeners that are not
// RPC servers (which would abort or stop the process without the checks).
#include "model/rpc_workers.h"

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ggml-backend.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using vl_eval::rpc_endpoint;
using testing::HasSubstr;

// A TCP socket listening on 127.0.0.1 at a free port, closed when it goes.
struct listener {
    int fd = -1;
    int port = 0;

    explicit listener(int backlog = 8) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0 || listen(fd, backlog) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
            ADD_FAILURE() << "cannot listen on 127.0.0.1";
            return;
        }
        port = ntohs(addr.sin_port);
    }
    ~listener() { close_now(); }
    void close_now() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    rpc_endpoint endpoint() const { return rpc_endpoint{"127.0.0.1", port}; }
};

std::string parse_error(const std::string &list) {
    std::vector<rpc_endpoint> out;
    return vl_eval::parse_rpc_endpoints(list, out);
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(RpcEndpoints, ParsesListsAndNamesTheEntryAtFault) {
    std::vector<rpc_endpoint> out;
    ASSERT_EQ(vl_eval::parse_rpc_endpoints("127.0.0.1:50052, worker-b:1 ,w:65535", out), "");
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].text(), "127.0.0.1:50052");
    EXPECT_EQ(out[1].host, "worker-b");
    EXPECT_EQ(out[1].port, 1);
    EXPECT_EQ(out[2].port, 65535);

    EXPECT_THAT(parse_error(""), HasSubstr("empty entry"));
    EXPECT_THAT(parse_error("a:1,,b:2"), HasSubstr("empty entry in the RPC server list \"a:1,,b:2\""));
    EXPECT_THAT(parse_error("a:1,"), HasSubstr("empty entry"));
    EXPECT_THAT(parse_error("a:1,worker"), HasSubstr("\"worker\" has no port"));
    EXPECT_THAT(parse_error(":50052"), HasSubstr("\":50052\" has no host"));
    for (const char *port : {"a:0", "a:65536", "a:12x", "a:", "a:-1", "a:0000080000", "a:+80"}) {
        EXPECT_THAT(parse_error(port), HasSubstr(std::string("\"") + port + "\": the port must be"))
            << port;
    }
    EXPECT_THAT(parse_error("[::1]:50052"), HasSubstr("not IPv6"));
    EXPECT_THAT(parse_error("::1:50052"), HasSubstr("not IPv6"));
    EXPECT_THAT(parse_error("a:1,b:2, a:1"), HasSubstr("RPC server a:1 is named twice"));

    std::string many;
    for (int i = 1; i <= 17; ++i) many += (i > 1 ? "," : "") + std::string("h:") + std::to_string(i);
    EXPECT_THAT(parse_error(many), HasSubstr("17 were given"));
}

TEST(RpcReachable, ConnectsRefusesAndTimesOut) {
    listener open;
    ASSERT_GT(open.port, 0);
    EXPECT_EQ(vl_eval::check_rpc_reachable(open.endpoint(), 3000), "");

    listener gone;
    const rpc_endpoint closed = gone.endpoint();
    gone.close_now();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THAT(vl_eval::check_rpc_reachable(closed, 3000),
                HasSubstr("cannot reach RPC server " + closed.text() + ": Connection refused"));
    EXPECT_LT(seconds_since(start), 2.0);

    // A listener whose queue is full drops further connection requests, as a
    // firewalled or powered-off machine does: the connect must give up in time.
    listener full(0);
    std::vector<int> queued;
    std::string error;
    const auto full_start = std::chrono::steady_clock::now();
    for (int i = 0; i < 8 && error.empty(); ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(full.port));
        connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        queued.push_back(fd);
        error = vl_eval::check_rpc_reachable(full.endpoint(), 300);
    }
    for (int fd : queued) close(fd);
    EXPECT_THAT(error, HasSubstr("cannot reach RPC server " + full.endpoint().text() +
                                 ": no answer within 0.3 s"));
    EXPECT_LT(seconds_since(full_start), 8 * 0.3 + 2.0);
}

TEST(RpcHandshake, ListenersThatAreNotRpcServersGiveErrorsNotAbortsOrHangs) {
    ASSERT_EQ(vl_eval::load_rpc_backend(), "");
    const std::size_t devices_before = ggml_backend_dev_count();

    // Accepts (through its queue) and never answers.
    listener silent;
    auto start = std::chrono::steady_clock::now();
    EXPECT_THAT(vl_eval::check_rpc_handshake(silent.endpoint(), 500),
                HasSubstr("RPC server " + silent.endpoint().text() +
                          " did not complete ggml's RPC handshake within 0.5 s"));
    EXPECT_LT(seconds_since(start), 3.0);

    // Answers every connection with text of another protocol and hangs up.
    listener chatty;
    std::thread server([&chatty] {
        // The handshake check, then the connect and handshake of add_rpc_workers.
        for (int i = 0; i < 3; ++i) {
            const int client = accept(chatty.fd, nullptr, nullptr);
            if (client < 0) return;
            const char banner[] = "SSH-2.0-OpenSSH_9.6\r\nSSH-2.0-OpenSSH_9.6\r\n";
            (void)!write(client, banner, sizeof banner - 1);
            close(client);
        }
    });
    EXPECT_THAT(vl_eval::check_rpc_handshake(chatty.endpoint(), 5000),
                HasSubstr("RPC server " + chatty.endpoint().text() + " failed ggml's RPC handshake: "));

    // The whole sequence stops at the first bad server and registers none.
    const std::string list = "127.0.0.1:" + std::to_string(chatty.port);
    EXPECT_THAT(vl_eval::add_rpc_workers(list, {3000, 5000}), HasSubstr("failed ggml's RPC handshake"));
    server.join();

    listener gone;
    const int gone_port = gone.port;
    gone.close_now();
    EXPECT_THAT(vl_eval::add_rpc_workers("127.0.0.1:" + std::to_string(gone_port) + "," + list),
                HasSubstr("cannot reach RPC server 127.0.0.1:" + std::to_string(gone_port)));
    EXPECT_EQ(ggml_backend_dev_count(), devices_before);
}

}  // namespace
