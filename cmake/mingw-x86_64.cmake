# 64-bit Windows: the same sources, for machines whose kernel runs no 32-bit code
# (scripts/lib/common.sh, sonvale_pick_arch).
set(SONVALE_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
