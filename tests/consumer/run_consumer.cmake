# The installed package as a user meets it: installs the build into a fresh prefix, builds the
# consumer project against it with find_package(halvern) and again with pkg-config alone, and
# checks that both give halvern-sim's bytes on the example; then the installed programs and the
# installed Python module run from the prefix.
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK=... -DCXX=... -DLIBDIR=lib
#         [-DFLAGS="compiler flags the libraries need"] [-DPYTHON=... -DPYTHON_DIR=...]
#         -P run_consumer.cmake
cmake_minimum_required(VERSION 3.16)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "${command}\nfailed (${status}):\n${out}")
  endif()
endfunction()

set(prefix ${WORK}/prefix)
set(example ${SOURCE_DIR}/examples/speech_howl.pcm)
set(tuning ${SOURCE_DIR}/examples/tuning.txt)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(installed bin/halvern-sim bin/halvern include/halvern/halvern.h ${LIBDIR}/libhalvern.a
        ${LIBDIR}/cmake/halvern/halvernConfig.cmake
        ${LIBDIR}/cmake/halvern/halvernConfigVersion.cmake
        ${LIBDIR}/pkgconfig/halvern.pc)
  if(NOT EXISTS ${prefix}/${installed})
    message(FATAL_ERROR "cmake --install did not install ${installed}")
  endif()
endforeach()
run(${prefix}/bin/halvern-sim ${example} ${WORK}/sim.pcm ${tuning})

# find_package(halvern)
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer -B ${WORK}/build -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_PREFIX_PATH=${prefix} "-DCMAKE_CXX_FLAGS=${FLAGS}")
run(${CMAKE_COMMAND} --build ${WORK}/build)
run(${WORK}/build/consumer ${example} ${tuning} ${WORK}/consumer.pcm)
run(${CMAKE_COMMAND} -E compare_files ${WORK}/sim.pcm ${WORK}/consumer.pcm)

# pkg-config halvern
find_program(PKG_CONFIG pkg-config REQUIRED)
set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
execute_process(COMMAND ${PKG_CONFIG} --cflags --libs halvern RESULT_VARIABLE status
                OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "pkg-config --cflags --libs halvern failed")
endif()
separate_arguments(flags UNIX_COMMAND "${FLAGS} ${flags}")
run(${CXX} -std=c++20 ${SOURCE_DIR}/tests/consumer/main.cpp -o ${WORK}/consumer_pc ${flags})
run(${WORK}/consumer_pc ${example} ${tuning} ${WORK}/consumer_pc.pcm)
run(${CMAKE_COMMAND} -E compare_files ${WORK}/sim.pcm ${WORK}/consumer_pc.pcm)

# The README's recipes call a bare halvern; the Python module imports from the prefix.
run(${prefix}/bin/halvern check ${tuning})
if(PYTHON)
  set(ENV{PYTHONPATH} ${prefix}/${PYTHON_DIR})
  run(${PYTHON} -c "import halvern, numpy; \
assert halvern.__file__.startswith('${prefix}'), halvern.__file__; \
y = halvern.process(halvern.read('${example}'), halvern.Tuning.load('${tuning}')); \
assert y.tobytes() == open('${WORK}/sim.pcm', 'rb').read()")
endif()
message(STATUS "the installed package gives halvern-sim's bytes")
