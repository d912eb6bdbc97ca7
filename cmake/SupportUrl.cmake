# brightness_check_support_url(VALUE): stops the configuration unless VALUE
# is empty or a web address. Home Assistant drops a whole discovery whose
# support_url is not one, and the value goes into a C string as it is.
function(brightness_check_support_url url)
  if(NOT url STREQUAL "" AND NOT url MATCHES "^https?://[^\"\\ ]+$")
    message(FATAL_ERROR "BRIGHTNESS_SUPPORT_URL '${url}' must start with http:// or https:// "
      "and hold no blank, quote or backslash (or be empty)")
  endif()
endfunction()

# cmake -DURL=VALUE -P SupportUrl.cmake: the check alone, for the tests.
if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  brightness_check_support_url("${URL}")
endif()
