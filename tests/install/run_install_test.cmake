# Installs the built tree into a fresh prefix, then builds and runs a small
# host project against it, found once with find_package and once with
# pkg-config.
#   cmake -DBUILD_DIR=... -DWORK_DIR=... -DCONSUMER_DIR=... -DLIBDIR=...
#         -DC_COMPILER=... -P run_install_test.cmake
foreach(var BUILD_DIR WORK_DIR CONSUMER_DIR LIBDIR C_COMPILER)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} not given")
  endif()
endforeach()

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

foreach(f ${LIBDIR}/libat_stubs.so ${LIBDIR}/libkovacutils.so ${LIBDIR}/libbionic_shim.so
          include/at_stubs/serialmgr/serialmgr.h include/at_stubs/serialapi/serialapi.h
          include/at_stubs/osal/kova_types.h include/at_stubs/stubs/other_stubs.h
          include/at_stubs/drivers/rndis_drv.h include/at_stubs/buffer/cbuffer.h
          ${LIBDIR}/pkgconfig/at_stubs.pc ${LIBDIR}/cmake/at_stubs/at_stubsConfig.cmake
          ${LIBDIR}/cmake/at_stubs/at_stubsConfigVersion.cmake ${LIBDIR}/cmake/at_stubs/at_stubsTargets.cmake)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
# Internal headers stay inside the tree.
file(GLOB_RECURSE internal ${prefix}/include/*_internal.h ${prefix}/include/*/at_log.h)
if(internal)
  message(FATAL_ERROR "internal headers installed: ${internal}")
endif()

# The installed library finds libkovacutils and libbionic_shim beside itself
# wherever the prefix is; objdump is part of binutils, which the compiler
# brings.
find_program(OBJDUMP NAMES objdump)
if(OBJDUMP)
  run(${OBJDUMP} -p ${prefix}/${LIBDIR}/libat_stubs.so)
  string(REGEX MATCH "RUNPATH[^\n]*" runpath "${run_output}")
  string(FIND "${runpath}" "$ORIGIN" at)
  if(at LESS 0)
    message(FATAL_ERROR "libat_stubs.so has no $ORIGIN run path:\n${run_output}")
  endif()
endif()

# Through pkg-config the consumer links libat_stubs and libkovacutils only:
# liblog must then come from the installed library's own run path, which that
# run proves (the loader does not search liblog's android/ folder by itself).
foreach(mode cmake pkgconfig)
  set(bdir ${WORK_DIR}/consumer-${mode})
  if(mode STREQUAL "pkgconfig")
    set(how -DUSE_PKGCONFIG=ON)
  else()
    set(how -DUSE_PKGCONFIG=OFF)
  endif()
  run(${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${prefix}/${LIBDIR}/pkgconfig
      ${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${bdir} -DCMAKE_C_COMPILER=${C_COMPILER}
      -DCMAKE_PREFIX_PATH=${prefix} ${how})
  run(${CMAKE_COMMAND} --build ${bdir})
  run(${bdir}/consumer)
  if(NOT run_output MATCHES "consumer: ok")
    message(FATAL_ERROR "consumer (${mode}) said: ${run_output}")
  endif()
  message(STATUS "consumer found with ${mode}: ${run_output}")
endforeach()
