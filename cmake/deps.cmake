# Libraries from Debian's packages, linked only where the code uses them.
find_package(ZLIB)
if(ZLIB_FOUND)
  target_link_libraries(tarvodine_core PUBLIC ZLIB::ZLIB)
endif()
find_package(OpenSSL)
if(OPENSSL_FOUND)
  target_link_libraries(tarvodine_core PUBLIC OpenSSL::Crypto)
endif()
