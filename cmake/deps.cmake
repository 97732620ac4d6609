# Libraries from Debian's packages, linked only where the code uses them.

# zlib: gzip and raw deflate streams for bodies.
find_package(ZLIB REQUIRED)
target_link_libraries(tarvodine_core PUBLIC ZLIB::ZLIB)

# OpenSSL 3's libcrypto: MD5 digests through the EVP interface, the random generator.
find_package(OpenSSL 3 REQUIRED)
target_link_libraries(tarvodine_core PUBLIC OpenSSL::Crypto)
