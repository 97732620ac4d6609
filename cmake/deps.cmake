# Libraries from Debian's packages, linked only where the code uses them.

# zlib: gzip and raw deflate streams for bodies.
find_package(ZLIB REQUIRED)
target_link_libraries(tarvodine_core PUBLIC ZLIB::ZLIB)

# OpenSSL 3's libcrypto: MD5 digests through the EVP interface, the random generator.
find_package(OpenSSL 3 REQUIRED)
target_link_libraries(tarvodine_core PUBLIC OpenSSL::Crypto)
# Its libssl: TLS client connections to origin servers.
target_link_libraries(tarvodine_core PUBLIC OpenSSL::SSL)

# Classic TinyXML 2.6 for both XML files: its white-space condensing and its character
# references are what the file formats rely on. Debian's header defines TIXML_USE_STL itself,
# so the library is built with it; every user of the header must see it too.
find_path(TINYXML_INCLUDE_DIR tinyxml.h REQUIRED)
find_library(TINYXML_LIBRARY tinyxml REQUIRED)
target_include_directories(tarvodine_core SYSTEM PUBLIC ${TINYXML_INCLUDE_DIR})
target_compile_definitions(tarvodine_core PUBLIC TIXML_USE_STL)
target_link_libraries(tarvodine_core PUBLIC ${TINYXML_LIBRARY})

# PCRE2 (8-bit code units) for every pattern of the configuration and of requests.
find_path(PCRE2_INCLUDE_DIR pcre2.h REQUIRED)
find_library(PCRE2_8_LIBRARY pcre2-8 REQUIRED)
target_include_directories(tarvodine_core SYSTEM PUBLIC ${PCRE2_INCLUDE_DIR})
target_link_libraries(tarvodine_core PUBLIC ${PCRE2_8_LIBRARY})

# Linux-PAM for the client passwords of PAM-mode access rules.
find_path(PAM_INCLUDE_DIR security/pam_appl.h REQUIRED)
find_library(PAM_LIBRARY pam REQUIRED)
target_include_directories(tarvodine_core SYSTEM PUBLIC ${PAM_INCLUDE_DIR})
target_link_libraries(tarvodine_core PUBLIC ${PAM_LIBRARY})

# libntlm: the NTLM negotiate and authenticate messages towards parent proxies.
find_path(NTLM_INCLUDE_DIR ntlm.h REQUIRED)
find_library(NTLM_LIBRARY ntlm REQUIRED)
target_include_directories(tarvodine_core SYSTEM PUBLIC ${NTLM_INCLUDE_DIR})
target_link_libraries(tarvodine_core PUBLIC ${NTLM_LIBRARY})

# libresolv: raw MX queries to the site-category service, each thread with its own resolver state.
find_library(RESOLV_LIBRARY resolv REQUIRED)
target_link_libraries(tarvodine_core PUBLIC ${RESOLV_LIBRARY})
