# One interface target carries the language level, warnings and strict Qt
# defines; every target of the project links it.
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
set(CMAKE_EXPORT_COMPILE_COMMANDS ON)
if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE RelWithDebInfo CACHE STRING "Build type" FORCE)
endif()

add_library(halvern_common INTERFACE)
target_compile_features(halvern_common INTERFACE cxx_std_20)
# A dropped [[nodiscard]] result is an error. GCC does not see one dropped from
# a virtual call; clang does, which is why the test script also builds with clang.
target_compile_options(halvern_common INTERFACE -Wall -Wextra -Wpedantic -Werror=unused-result)
target_compile_definitions(halvern_common INTERFACE
  QT_NO_CAST_FROM_ASCII QT_NO_CAST_TO_ASCII QT_NO_URL_CAST_FROM_STRING
  QT_NO_CAST_FROM_BYTEARRAY QT_NO_CONTEXTLESS_CONNECT QT_NO_KEYWORDS)

if(HALVERN_SANITIZE)
  target_compile_options(halvern_common INTERFACE
    -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(halvern_common INTERFACE -fsanitize=address,undefined)
endif()

if(HALVERN_TSAN)
  if(HALVERN_SANITIZE)
    message(FATAL_ERROR "HALVERN_TSAN and HALVERN_SANITIZE cannot be combined")
  endif()
  target_compile_options(halvern_common INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(halvern_common INTERFACE -fsanitize=thread)
endif()
