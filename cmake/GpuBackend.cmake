# Choice of the GPU backend and the helpers that build .cu files with it.
#
#   cuda: nvcc and the CUDA runtime; the programs run on an NVIDIA GPU.
#   cpu:  the host C++ compiler builds the same .cu files against gpu/runtime.h's
#         CPU runtime; kernels run on all CPU cores.

# The functions below find this folder through CMAKE_CURRENT_FUNCTION_LIST_DIR, which holds
# in whatever directory calls them: a project that adds this one with add_subdirectory()
# calls gpu_sources() from its own directories, where variables of this one are not set.

# Sets <var> to TRUE when a CUDA device answers: nvidia-smi lists one.
function(gpu_device_answers var)
  set(found FALSE)
  find_program(GPUDEMOS_NVIDIA_SMI nvidia-smi)
  mark_as_advanced(GPUDEMOS_NVIDIA_SMI)
  if(GPUDEMOS_NVIDIA_SMI)
    execute_process(COMMAND ${GPUDEMOS_NVIDIA_SMI} -L RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_QUIET)
    if(rc EQUAL 0 AND out MATCHES "GPU")
      set(found TRUE)
    endif()
  endif()
  set(${var} ${found} PARENT_SCOPE)
endfunction()

macro(gpu_select_backend)
  if(GPU_BACKEND STREQUAL "")
    # A compiler: CMAKE_CUDA_COMPILER or CUDACXX if given, else nvcc on PATH or in the
    # toolkit's standard place.
    set(_gpu_nvcc "${CMAKE_CUDA_COMPILER}")
    if(NOT _gpu_nvcc AND DEFINED ENV{CUDACXX})
      set(_gpu_nvcc "$ENV{CUDACXX}")
    endif()
    if(NOT _gpu_nvcc)
      find_program(_gpu_nvcc_found nvcc PATHS /usr/local/cuda/bin)
      set(_gpu_nvcc "${_gpu_nvcc_found}")
    endif()
    set(_gpu_device_found FALSE)
    if(_gpu_nvcc)
      gpu_device_answers(_gpu_device_found)
    endif()
    if(_gpu_device_found)
      set(GPU_BACKEND cuda)
      set(CMAKE_CUDA_COMPILER "${_gpu_nvcc}")
      set(_gpu_why "CUDA compiler and device found")
    elseif(_gpu_nvcc)
      set(GPU_BACKEND cpu)
      set(_gpu_why "CUDA compiler found but no device answers")
    else()
      set(GPU_BACKEND cpu)
      set(_gpu_why "no CUDA compiler found")
    endif()
    set(GPU_BACKEND ${GPU_BACKEND} CACHE STRING "GPU backend: cpu or cuda" FORCE)
  else()
    set(_gpu_why "chosen with -DGPU_BACKEND")
  endif()
  if(NOT GPU_BACKEND MATCHES "^(cpu|cuda)$")
    message(FATAL_ERROR "GPU_BACKEND must be cpu or cuda, not '${GPU_BACKEND}'")
  endif()
  if(GPU_BACKEND STREQUAL "cuda")
    if(NOT CMAKE_CUDA_COMPILER AND NOT DEFINED ENV{CUDACXX})
      find_program(_gpu_nvcc2 nvcc PATHS /usr/local/cuda/bin)
      if(_gpu_nvcc2)
        set(CMAKE_CUDA_COMPILER ${_gpu_nvcc2})
      endif()
    endif()
    gpu_default_architectures()
  endif()
  message(STATUS "GPU backend: ${GPU_BACKEND} (${_gpu_why})")
endmacro()

# Unless the user chose CMAKE_CUDA_ARCHITECTURES: the GPU's own (native) when a device
# answers, else every real architecture the toolkit supports from sm_75 on plus PTX of
# the newest. A value this macro chose itself is chosen again at every configure, so a
# build folder first configured without a device picks native once one answers.
macro(gpu_default_architectures)
  if(NOT CMAKE_CUDA_ARCHITECTURES OR
     (DEFINED GPUDEMOS_DEFAULT_CUDA_ARCHITECTURES AND
      "${CMAKE_CUDA_ARCHITECTURES}" STREQUAL "${GPUDEMOS_DEFAULT_CUDA_ARCHITECTURES}"))
    gpu_device_answers(_gpu_arch_device)
    if(_gpu_arch_device)
      set(_list native)
    else()
      gpu_supported_architectures(_archs)
      list(POP_BACK _archs _newest)
      set(_list "")
      foreach(a ${_archs})
        list(APPEND _list "${a}-real")
      endforeach()
      list(APPEND _list "${_newest}")
    endif()
    set(CMAKE_CUDA_ARCHITECTURES "${_list}" CACHE STRING "CUDA architectures" FORCE)
    set(GPUDEMOS_DEFAULT_CUDA_ARCHITECTURES "${_list}" CACHE INTERNAL "the architectures chosen by default")
  endif()
  message(STATUS "CUDA architectures: ${CMAKE_CUDA_ARCHITECTURES}")
endmacro()

# Sets <var> to the real architectures (numbers, ascending) from sm_75 on that the
# toolkit's nvcc can build; 75 alone if it cannot be asked.
function(gpu_supported_architectures var)
  set(nvcc ${CMAKE_CUDA_COMPILER})
  if(NOT nvcc)
    find_program(GPUDEMOS_NVCC nvcc PATHS /usr/local/cuda/bin)
    set(nvcc ${GPUDEMOS_NVCC})
  endif()
  set(codes "")
  if(nvcc)
    execute_process(COMMAND ${nvcc} --list-gpu-code OUTPUT_VARIABLE codes ERROR_QUIET)
  endif()
  string(REGEX MATCHALL "sm_[0-9]+" sms "${codes}")
  set(archs "")
  foreach(sm ${sms})
    string(REPLACE "sm_" "" n ${sm})
    if(n GREATER_EQUAL 75)
      list(APPEND archs ${n})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES archs)
  list(SORT archs COMPARE NATURAL)
  if(NOT archs)
    set(archs 75)
  endif()
  set(${var} ${archs} PARENT_SCOPE)
endfunction()

# gpu_sources(<target> <file>...): adds kernel sources (.cu) to a target. Under the cpu
# backend each .cu is first run through translate_launches (gpu/cpu/), which rewrites its
# kernel<<<...>>>(...) launches (and `extern __shared__` arrays) as calls of the cpu runtime
# and keeps every line where it was; the host compiler builds that copy as C++, with
# GPU_KERNEL_FILE=1 as nvcc's .cu files have it, the .cu's folder searched for its "..."
# includes, and the runtime included first (<cuda_runtime.h>, as nvcc includes it into
# every .cu file). The .cu itself
# stays a source of the target (not compiled), so it is listed where sources are listed.
function(gpu_sources target)
  target_sources(${target} PRIVATE ${ARGN})
  if(NOT GPU_BACKEND STREQUAL "cpu")
    return()
  endif()
  get_filename_component(runtime ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../gpu/cpu/include/cuda_runtime.h ABSOLUTE)
  foreach(f ${ARGN})
    if(NOT f MATCHES "\\.cu$")
      continue()
    endif()
    get_filename_component(src ${f} ABSOLUTE)
    get_filename_component(dir ${src} DIRECTORY)
    file(RELATIVE_PATH rel ${PROJECT_SOURCE_DIR} ${src})
    if(rel MATCHES "^\\.\\.")
      get_filename_component(rel ${src} NAME)
    endif()
    set(out ${CMAKE_CURRENT_BINARY_DIR}/gpu_translated/${target}/${rel}.cpp)
    if(TARGET gpu_split_blocks)
      # The kernel parser sees the file as the compiler will: the target's include folders
      # and definitions, and what the compile below adds. The headers it reads are
      # dependencies too (the depfile).
      set(incs "$<TARGET_PROPERTY:${target},INCLUDE_DIRECTORIES>")
      set(defs "$<TARGET_PROPERTY:${target},COMPILE_DEFINITIONS>")
      add_custom_command(OUTPUT ${out}
                         COMMAND gpu_translate_launches ${src} ${out}
                         COMMAND gpu_split_blocks ${out} --depfile ${out}.d --
                                 "$<$<BOOL:${incs}>:-I$<JOIN:${incs},;-I>>" "$<$<BOOL:${defs}>:-D$<JOIN:${defs},;-D>>"
                                 -DGPU_KERNEL_FILE=1 -iquote${dir} -include ${runtime}
                         DEPENDS ${src} gpu_translate_launches gpu_split_blocks
                         DEPFILE ${out}.d
                         COMMENT "Translating the kernel launches of ${rel}"
                         COMMAND_EXPAND_LISTS
                         VERBATIM)
    else()
      add_custom_command(OUTPUT ${out}
                         COMMAND gpu_translate_launches ${src} ${out}
                         DEPENDS ${src} gpu_translate_launches
                         COMMENT "Translating the kernel launches of ${rel}"
                         VERBATIM)
    endif()
    set_source_files_properties(${f} TARGET_DIRECTORY ${target} PROPERTIES HEADER_FILE_ONLY TRUE)
    target_sources(${target} PRIVATE ${out})
    set_source_files_properties(${out} TARGET_DIRECTORY ${target} PROPERTIES
                                LANGUAGE CXX COMPILE_DEFINITIONS GPU_KERNEL_FILE=1
                                COMPILE_OPTIONS "-iquote${dir};-include;${runtime}")
  endforeach()
endfunction()

# gpu_no_launch_outside_cu(<target>): <target> (the gpu library) waits for a scan of the
# project's C++ sources and headers other than .cu files, which fails the build at any
# kernel launch (<<<) it finds there, naming file and line (NoLaunchOutsideCu.cmake): so
# that message comes first, before any compile error of a target that links <target>.
function(gpu_no_launch_outside_cu target)
  file(GLOB tops LIST_DIRECTORIES true RELATIVE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/*)
  set(files "")
  foreach(top ${tops})
    if(top STREQUAL "build" OR top MATCHES "^\\." OR NOT IS_DIRECTORY ${PROJECT_SOURCE_DIR}/${top})
      continue()
    endif()
    set(d ${PROJECT_SOURCE_DIR}/${top})
    file(GLOB_RECURSE found CONFIGURE_DEPENDS ${d}/*.cpp ${d}/*.cc ${d}/*.h ${d}/*.hpp ${d}/*.cuh)
    list(APPEND files ${found})
  endforeach()
  # Fixtures hold launches on purpose; a build folder inside a source folder is not source.
  list(FILTER files EXCLUDE REGEX "/fixtures/")
  list(FILTER files EXCLUDE REGEX "^${CMAKE_BINARY_DIR}/")
  set(stamp ${CMAKE_BINARY_DIR}/no_launch_outside_cu.stamp)
  set(list ${CMAKE_BINARY_DIR}/no_launch_outside_cu.files)
  string(REPLACE ";" "\n" lines "${files}")
  file(CONFIGURE OUTPUT ${list} CONTENT "${lines}\n" @ONLY)
  add_custom_command(OUTPUT ${stamp}
                     COMMAND ${CMAKE_COMMAND} -DLIST=${list} -P ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/NoLaunchOutsideCu.cmake
                     COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
                     DEPENDS ${list} ${files} ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/NoLaunchOutsideCu.cmake
                     COMMENT "Looking for kernel launches outside .cu files"
                     VERBATIM)
  add_custom_target(gpu_no_launch_outside_cu DEPENDS ${stamp})
  add_dependencies(${target} gpu_no_launch_outside_cu)
endfunction()
