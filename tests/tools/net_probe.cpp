// A driver for the end-to-end tests: runs the proxy's own connect, listen and SOCKS code against
// real peers and prints what came of it, one "key=value" line each, beside the native log lines
// (written to standard output).
//
//   net_probe connect HOST PORT [--local ADDR] [--timeout S]
//   net_probe listen PORT [ADDR]
//   net_probe socks4|socks5 PROXY_PORT DEST_HOST DEST_PORT [--user-id NAME] [--user U]
//             [--password P] [--send TEXT] [--timeout S]
//
// Exit status 0 when the result is a descriptor (connect), a slot (listen) or 1 (SOCKS).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <unistd.h>

#include "core/connection.h"
#include "core/global.h"
#include "daemon/runtime.h"
#include "http/header.h"
#include "http/protocol.h"
#include "net/network.h"
#include "core/options.h"
#include "probe_options.h"
#include "net/socket.h"
#include "core/threads.h"
#include "daemon/signals.h"
#include "util/mem.h"

namespace {

int usage()
{
    std::fputs("usage: net_probe connect HOST PORT [--local ADDR] [--timeout S]\n"
               "       net_probe listen PORT [ADDR]\n"
               "       net_probe socks4|socks5 PROXY_PORT DEST_HOST DEST_PORT [--user-id NAME] [--user U]\n"
               "                 [--password P] [--send TEXT] [--timeout S]\n",
               stderr);
    return 2;
}

using probe::option;
using probe::options_from;

int socks(bool version5, int argc, char** argv)
{
    if (argc < 5)
        return usage();
    const auto options = options_from(argc, argv, 5);
    const int timeout = std::atoi(option(options, "timeout", "5").c_str());
    username = option(options, "user-id", username.c_str());

    const int fd = net_connect("127.0.0.1", std::atoi(argv[2]), timeout);
    if (fd < 0) {
        std::printf("result=%d\n", fd);
        return 1;
    }
    ConnectionPtr conn = connection_new();
    conn->server = std::make_unique<Socket>(fd);
    conn->request = header_new();
    conn->request->host = std::string(argv[3]);
    conn->request->port = std::atoi(argv[4]);
    conn->proxy_username = option(options, "user");
    conn->proxy_password = option(options, "password");
    const int result = version5 ? proxy_socks5(conn.get(), timeout) : proxy_socks4(conn.get(), timeout);
    std::printf("result=%d\n", result);
    if (result != 1)
        return 1;

    const auto send = options.find("send");
    if (send != options.end()) {
        conn->server->Write(send->second.data(), static_cast<long>(send->second.size()));
        conn->server->Flush();
        std::string received;
        char block[4096];
        int n;
        while ((n = conn->server->Read(block, sizeof block, timeout)) > 0)
            received.append(block, static_cast<std::size_t>(n));
        std::printf("received=%s\n", received.c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    process_exits_set(clean_exit, sigterm);
    global_create();
    threads_init();
    daemonize = 0;   // log lines go to standard output
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2)
        return usage();
    const std::string command = argv[1];

    if (command == "connect" && argc >= 4) {
        const auto options = options_from(argc, argv, 4);
        const std::string local = option(options, "local");
        const int fd = net_connect(argv[2], std::atoi(argv[3]), local.empty() ? nullptr : local.c_str(),
                                   std::atoi(option(options, "timeout", "5").c_str()));
        std::printf("result=%d\n", fd);
        if (fd >= 0)
            close(fd);
        return fd >= 0 ? 0 : 1;
    }
    if (command == "listen" && argc >= 3) {
        net_init();
        const int slot = net_listen(std::atoi(argv[2]), argc >= 4 ? argv[3] : nullptr);
        std::printf("result=%d\n", slot);
        net_listen_closeall();
        return slot >= 0 ? 0 : 1;
    }
    if (command == "socks4" || command == "socks5")
        return socks(command == "socks5", argc, argv);
    return usage();
}
