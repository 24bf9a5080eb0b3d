# Runs the demo into a fresh folder and checks its exit status and that it
# wrote three PNG files. Called with -DDEMO=program -DOUTPUT=folder. Six
# seconds: with a sanitizer on two busy cores the host draws about one
# frame a second, and the snapshot is taken in the run's second half.
file(REMOVE_RECURSE "${OUTPUT}")
execute_process(
  COMMAND "${DEMO}" --seconds 6 --delay 4 --output "${OUTPUT}"
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "quilmar-demo exited with ${status}")
endif()
foreach(name before during after)
  set(png "${OUTPUT}/${name}.png")
  if(NOT EXISTS "${png}")
    message(FATAL_ERROR "quilmar-demo wrote no ${png}")
  endif()
  file(READ "${png}" signature LIMIT 8 HEX)
  if(NOT signature STREQUAL "89504e470d0a1a0a")
    message(FATAL_ERROR "${png} is not a PNG file")
  endif()
endforeach()
file(REMOVE_RECURSE "${OUTPUT}")
