# Stand-in for cmake.mk: the package adds its options to CMAKE_OPTIONS.
CMAKE_OPTIONS:=
