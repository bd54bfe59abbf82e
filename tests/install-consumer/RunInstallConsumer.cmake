# Installs the built engine into a scratch prefix, then configures, builds and runs the consumer
# project against it. Run by CTest (see tests/CMakeLists.txt) with:
#   BUILD_DIR     the engine's build tree (already built)
#   SOURCE_DIR    this folder
#   WORK_DIR      scratch folder; emptied first, holds the prefix and the consumer's build
#   GENERATOR, CXX_COMPILER, BUILD_TYPE, CXX_FLAGS   passed on to the consumer's configuration
foreach(variable BUILD_DIR SOURCE_DIR WORK_DIR GENERATOR CXX_COMPILER)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "RunInstallConsumer.cmake needs -D${variable}=...")
  endif()
endforeach()

function(run step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${step} failed (${result}):\n${output}")
  endif()
  message(STATUS "${step}: ok")
  set(last_output "${output}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# Nothing of the build tree may leak in: only the prefix is searched.
run("configure consumer" ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/build -G ${GENERATOR}
  -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_BUILD_TYPE=${BUILD_TYPE}
  "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF)
run("build consumer" ${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run("run consumer" ${WORK_DIR}/build/install_consumer)
message(STATUS "${last_output}")
