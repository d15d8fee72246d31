# Run by `cmake --install` right after HalvernAlarm is in place: gives it the
# one file capability cap_wake_alarm, so that bookings wake a sleeping machine
# for every user. Nothing here fails the install: without the capability the
# timed-run service works inside Halvern, whose bookings then only fire while
# the machine is awake.
#
# HALVERN_ALARM_FILE: the helper's path below the install prefix.

set(_halvern_alarm "${CMAKE_INSTALL_PREFIX}/${HALVERN_ALARM_FILE}")
set(_halvern_without "booked checks will not wake a sleeping machine")

if(NOT "$ENV{DESTDIR}" STREQUAL "")
  # A staged install (a package being made): the package grants it when it is
  # installed, since archives do not keep file capabilities.
  return()
endif()

execute_process(COMMAND id -u OUTPUT_VARIABLE _halvern_uid OUTPUT_STRIP_TRAILING_WHITESPACE)
find_program(_halvern_setcap setcap PATHS /usr/sbin /sbin NO_CACHE)
if(NOT _halvern_uid STREQUAL "0")
  message(NOTICE "HalvernAlarm: not installing as root, so ${_halvern_alarm} has no "
                 "cap_wake_alarm and ${_halvern_without}. As root: "
                 "setcap cap_wake_alarm+ep '${_halvern_alarm}'")
  return()
endif()
if(NOT _halvern_setcap)
  message(NOTICE "HalvernAlarm: setcap not found (Debian: libcap2-bin), so "
                 "${_halvern_alarm} has no cap_wake_alarm and ${_halvern_without}.")
  return()
endif()
execute_process(COMMAND ${_halvern_setcap} cap_wake_alarm+ep ${_halvern_alarm}
                RESULT_VARIABLE _halvern_rc ERROR_VARIABLE _halvern_err
                ERROR_STRIP_TRAILING_WHITESPACE)
if(_halvern_rc EQUAL 0)
  message(STATUS "HalvernAlarm: gave ${_halvern_alarm} the capability cap_wake_alarm")
else()
  message(NOTICE "HalvernAlarm: setcap failed (${_halvern_err}), so ${_halvern_alarm} has "
                 "no cap_wake_alarm and ${_halvern_without}.")
endif()
