// Descriptor wrappers: when the system's file table is full they free the pooled connections
// and try once more.
#pragma once

#include <cstdio>
#include <dirent.h>
#include <sys/socket.h>
#include <sys/types.h>

int s_open(const char* path, int flags, mode_t mode = 0);
int s_open64(const char* path, int flags, mode_t mode = 0);
FILE* s_fopen(const char* path, const char* mode);
DIR* s_opendir(const char* path);
int s_socket(int family, int type, int protocol);
int s_accept(int socket, sockaddr* address, socklen_t* length);
void fd_failure();
void client_pool_failure();
void server_pool_failure();
// 1 when every level of the path exists, -1 (logged) on failure.
int create_recursive_directory(const char* path);
