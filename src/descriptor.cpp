// Stand-in until the descriptor wrappers are written.
#include "descriptor.h"

#include <fcntl.h>
#include <sys/stat.h>

int s_open(const char* path, int flags, mode_t mode) { return open(path, flags, mode); }
int s_open64(const char* path, int flags, mode_t mode) { return open(path, flags | O_LARGEFILE, mode); }
FILE* s_fopen(const char* path, const char* mode) { return std::fopen(path, mode); }
DIR* s_opendir(const char* path) { return opendir(path); }
int s_socket(int family, int type, int protocol) { return socket(family, type, protocol); }
int s_accept(int s, sockaddr* address, socklen_t* length) { return accept(s, address, length); }
void fd_failure() {}
void client_pool_failure() {}
void server_pool_failure() {}
int create_recursive_directory(const char* path) { return mkdir(path, 0755) == 0 ? 1 : -1; }
