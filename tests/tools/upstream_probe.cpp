// A driver for the end-to-end tests: serves requests over the proxy's own upstream code with the
// route a forwarding rule would choose (an HTTP parent, or a parent reached through a CONNECT
// tunnel, with upstream credentials), which the request pipeline cannot be told yet. Prints one
// "key=value" line per outcome beside the native log lines (on standard output).
//
//   upstream_probe serve PORT --sections FILE [--config FILE] --kind K --parent-port P
//                  [--parent-host H] [--user U] [--password W] [--domain D] [--count N]
//       accepts N (default 1) client connections on 127.0.0.1:PORT, one request each, and
//       serves a CONNECT with protocol_connect, anything else, once its body is taken as the
//       pipeline takes it (with the configuration's upload buffer), with protocol_http;
//       prints "listening=PORT" once ready, then "result=... status=... size=..." per request.
//   upstream_probe proxytest --sections FILE --parent-port P [--parent-host H] [--user U]
//                  [--password W]
//       sends the proxy test through the parent (kind 0) and prints the request it delivered:
//       "delivered=<request line>" and "line=<name>: <value>" per line; exit status 1 when
//       nothing came back.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "http/connect.h"
#include "core/connection.h"
#include "http/header.h"
#include "daemon/mainloop.h"
#include "net/network.h"
#include "core/options.h"
#include "probe_options.h"
#include "http/proto_http.h"
#include "http/protocol.h"
#include "http/request.h"
#include "net/socket.h"
#include "http/template.h"
#include "core/threads.h"
#include "daemon/signals.h"
#include "util/mem.h"
#include "http/transfer.h"
#include "util/url.h"

namespace {

int usage()
{
    std::fputs("usage: upstream_probe serve PORT --sections FILE [--config FILE] --kind K --parent-port P\n"
               "                      [--parent-host H] [--user U] [--password W] [--domain D] [--count N]\n"
               "       upstream_probe proxytest --sections FILE --parent-port P [--parent-host H]\n"
               "                      [--user U] [--password W]\n",
               stderr);
    return 2;
}

using probe::option;
using probe::options_from;

// The route a forwarding rule would give.
void route_set(CONNECTION_T* connection, const std::map<std::string, std::string>& options, int kind)
{
    connection->proxy_type = kind;
    connection->parent_host = option(options, "parent-host", "127.0.0.1");
    connection->parent_port = std::atoi(option(options, "parent-port", "0").c_str());
    connection->proxy_username = option(options, "user");
    connection->proxy_password = option(options, "password");
    connection->proxy_domain = option(options, "domain");
}

void serve_one(ConnectionPtr connection, const std::map<std::string, std::string>& options)
{
    const HeaderText text = header_get(connection.get(), SIDE_CLIENT, 30);
    connection->request = text ? http_header_parse_request(*text) : nullptr;
    if (connection->request == nullptr) {
        std::printf("result=badrequest\n");
        return;
    }
    HEADER* request = connection->request.get();
    connection->logentry.method = request->method ? *request->method : "-";
    connection->logentry.url = request->url ? *request->url : "-";
    route_set(connection.get(), options, std::atoi(option(options, "kind", "0").c_str()));

    if (request->kind != HEADER_CONNECT && request_body(connection.get()) == 0) {
        std::printf("result=body status=0 size=0\n");
        return;
    }
    const int fd = protocol_start(connection.get());
    if (fd < 0) {
        template_section->send(error_to_template(fd), connection.get(), 503);
        std::printf("result=%d status=503 size=0\n", fd);
        return;
    }
    int result;
    if (request->kind == HEADER_CONNECT) {
        result = protocol_connect(connection.get());
    } else {
        connection->keepalive_client = 0;
        result = protocol_http(connection.get());
    }
    std::printf("result=%d status=%d size=%llu\n", result, connection->logentry.status,
                static_cast<unsigned long long>(connection->logentry.size));
}

int serve(int argc, char** argv)
{
    if (argc < 3)
        return usage();
    const auto options = options_from(argc, argv, 3);
    const int count = std::atoi(option(options, "count", "1").c_str());

    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[2])));
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 8) != 0) {
        std::perror("listen");
        return 1;
    }
    std::printf("listening=%s\n", argv[2]);
    for (int i = 0; i < count; ++i) {
        const int fd = accept(listener, nullptr, nullptr);
        if (fd < 0)
            return 1;
        ConnectionPtr connection = connection_new("127.0.0.1");
        connection->client = std::make_unique<Socket>(fd);
        connection->id = static_cast<std::uint32_t>(i + 1);
        serve_one(std::move(connection), options);
    }
    close(listener);
    return 0;
}

int proxytest(int argc, char** argv)
{
    const auto options = options_from(argc, argv, 2);
    ConnectionPtr connection = connection_new("127.0.0.1");
    connection->flags |= CONN_NOCLIENT;
    connection->request = http_header_parse_request("GET http://upstream.test/ HTTP/1.1\r\n\r\n");
    route_set(connection.get(), options, UPSTREAM_HTTP);
    const int fd = protocol_start(connection.get());
    if (fd < 0) {
        std::printf("result=%d\n", fd);
        return 1;
    }
    proxy_test(connection.get());
    HEADER* delivered = connection->response;
    connection->response = nullptr;
    if (delivered == nullptr) {
        std::printf("result=none\n");
        return 1;
    }
    std::printf("delivered=%s %s\n", delivered->method ? delivered->method->c_str() : "",
                delivered->path ? delivered->path->c_str() : "");
    for (const HTTP_HEADER& line : delivered->lines)
        std::printf("line=%s: %s\n", line.name.c_str(), line.value.c_str());
    http_header_free(delivered);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return usage();
    const std::string command = argv[1];
    const auto options = options_from(argc, argv, command == "serve" ? 3 : 2);
    sectionfile = option(options, "sections");
    if (sectionfile.empty())
        return usage();
    configfile = option(options, "config");
    daemonize = 0;   // log lines go to standard output
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    process_exits_set(clean_exit, sigterm);
    threads_init();
    config();
    if (command == "serve")
        return serve(argc, argv);
    if (command == "proxytest")
        return proxytest(argc, argv);
    return usage();
}
