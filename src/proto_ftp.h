// The FTP protocol handler. Stand-in until it is built: FTP requests are answered with the
// "badprotocol" page and status 501.
#pragma once

struct CONNECTION_T;

// 1: the request was answered.
int protocol_ftp(CONNECTION_T* connection);
