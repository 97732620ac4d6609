// The FTP protocol handler: serves a request whose scheme is "ftp" over the connection's server
// socket, which the upstream connection has connected to the FTP server's control port. It logs
// in, then shows a directory as an HTML listing page (with sorting and a few directory actions),
// retrieves a file over a data connection (passive or active by the "ftp" section), or stores
// the body of a PUT request as a file. The client always receives an HTTP answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/owners.h"

struct CONNECTION_T;
class Filebuf;
class Socket;

// 1 when an answer was produced and the access logs written; -1 on failure (the answer, if any,
// is a template page, and the server connection is not kept).
int protocol_ftp(CONNECTION_T* connection);

// Reads reply lines from the control connection, all of them within one FTP time-out, until one
// whose leading number is code1 or code2 (a line without a number counts as 0). That number, the
// last number read when the lines run out or the time is up, or -1 when no line could be read.
int ftp_code_wait(CONNECTION_T* connection, int code1, int code2);

// Opens a data connection, sends the transfer command (given without its line end) on the
// control connection and reads the server's first reply to it. Passive: the data connection
// goes to the control connection's peer with the port of the PASV answer; active: the server's
// connection is accepted from that peer only. Every wait lasts at most the FTP time-out. The data
// socket only when the server accepted the transfer (125 or 150); null on any failure, with
// nothing left open. *reply, when given: that first reply's number, -1 when none came, 0 when
// the setup failed before it was read.
SocketPtr ftp_transfer_setup(CONNECTION_T* connection, std::string_view command,
                                           int* reply = nullptr);

// net_transfer and net_filebuf_read with the data socket standing in for the server socket:
// side 1 reads the data socket, side 0 relays the client's bytes into it. length -1: until
// the data connection closes.
std::int64_t ftp_transfer(CONNECTION_T* connection, int side, SocketPtr& data, std::int64_t length);
// A new buffer with what was read from the data socket; the transfer is marked failed when a
// known length did not come whole. The read never takes the buffer beyond maximum: with `more`,
// *more is set to 1 when it stopped there (a known length beyond maximum is not read at all),
// and the rest waits on the data socket, intact. Without `more` there is no limit.
std::unique_ptr<Filebuf> ftp_transfer_filebuf(CONNECTION_T* connection, int side, SocketPtr& data,
                                              std::int64_t length, std::size_t maximum = SIZE_MAX,
                                              int* more = nullptr);

// The read callback on the data socket of a retrieval: stores the bytes into the connection's
// cache object, counts them and takes them off the download allowance. -1 stops the transfer.
int protocol_ftp_read_callback(void* data, long length, const char* bytes);

// The leading number of a reply line as atoi reads it (blanks, a sign, digits); 0 without one.
int ftp_reply_code(std::string_view line);
// True when a value may go on the control connection: no carriage return, line feed or zero
// byte, which would end the command and start another.
bool ftp_value_safe(std::string_view value);
// A request path with its %XX escapes decoded, as the FTP server names the file; nullopt when
// the decoded path would carry a carriage return, line feed or zero byte.
std::optional<std::string> ftp_path_decode(std::string_view path);
