# Finds the mbedTLS libraries (Debian's libmbedtls-dev ships no CMake or pkg-config files).
# Provides MbedTLS::mbedcrypto, MbedTLS::mbedx509 and MbedTLS::mbedtls.
find_path(MbedTLS_INCLUDE_DIR NAMES mbedtls/version.h)
find_library(MbedTLS_CRYPTO_LIBRARY NAMES mbedcrypto)
find_library(MbedTLS_X509_LIBRARY NAMES mbedx509)
find_library(MbedTLS_TLS_LIBRARY NAMES mbedtls)

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(MbedTLS
  REQUIRED_VARS MbedTLS_INCLUDE_DIR MbedTLS_CRYPTO_LIBRARY MbedTLS_X509_LIBRARY MbedTLS_TLS_LIBRARY)

if(MbedTLS_FOUND)
  foreach(lib IN ITEMS crypto x509 tls)
    string(TOUPPER ${lib} upper)
    if(lib STREQUAL "tls")
      set(target MbedTLS::mbedtls)
    else()
      set(target MbedTLS::mbed${lib})
    endif()
    if(NOT TARGET ${target})
      add_library(${target} UNKNOWN IMPORTED)
      set_target_properties(${target} PROPERTIES
        IMPORTED_LOCATION "${MbedTLS_${upper}_LIBRARY}"
        INTERFACE_INCLUDE_DIRECTORIES "${MbedTLS_INCLUDE_DIR}")
    endif()
  endforeach()
  set_property(TARGET MbedTLS::mbedx509 APPEND PROPERTY INTERFACE_LINK_LIBRARIES MbedTLS::mbedcrypto)
  set_property(TARGET MbedTLS::mbedtls APPEND PROPERTY INTERFACE_LINK_LIBRARIES MbedTLS::mbedx509)
endif()
mark_as_advanced(MbedTLS_INCLUDE_DIR MbedTLS_CRYPTO_LIBRARY MbedTLS_X509_LIBRARY MbedTLS_TLS_LIBRARY)
