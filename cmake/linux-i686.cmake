# The logic suite as 32-bit x86 code (size_t and pointers of 32 bits, as in the launcher players
# get), with the system's g++ and Debian's multilib packages (g++-multilib). Where this machine's
# kernel runs no 32-bit code, its programs run under QEMU's user-mode emulator (qemu-i386).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
execute_process(COMMAND bash -c "source \"$1\" && zrk_can_run_32bit" _
                        ${CMAKE_CURRENT_LIST_DIR}/../scripts/deps.sh RESULT_VARIABLE ZRK_RUNS_32BIT)
if(NOT ZRK_RUNS_32BIT EQUAL 0)
  find_program(ZRK_QEMU_I386 qemu-i386 REQUIRED)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZRK_QEMU_I386})
endif()
