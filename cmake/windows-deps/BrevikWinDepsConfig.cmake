# BrevikWinDeps: static Windows builds of the windows flavour's third-party
# libraries (see cmake/windows-deps/CMakeLists.txt in the Brevik sources).
#
#   find_package(BrevikWinDeps REQUIRED)
#   target_link_libraries(app PRIVATE BrevikWin::tinyxml BrevikWin::minizip ...)
#
# Also in the same prefix: libbz2.a (FindBZip2), libtomcrypt.a and tomcrypt.h,
# and GoogleTest's package (find_package(GTest)).

include(CMakeFindDependencyMacro)
set(ZLIB_USE_STATIC_LIBS ON)
find_dependency(ZLIB)

include("${CMAKE_CURRENT_LIST_DIR}/BrevikWinDepsTargets.cmake")
