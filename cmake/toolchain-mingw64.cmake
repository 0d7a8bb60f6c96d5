# 64-bit Windows: the same code built for x64, also the build the tests run where the host
# kernel cannot execute 32-bit programs (and so cannot run 32-bit Wine).
set(QM_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-common.cmake)
