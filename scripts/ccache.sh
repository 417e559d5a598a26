# Sourced by the build scripts, from the repository root: compile through
# ccache where it is installed (scripts/bootstrap.sh installs it). CMake and
# scikit-build-core read the launcher from the environment when they first
# configure a tree. build/cpp and the wheel builds use the same flags, so each
# object of the core is compiled once for all of them; paths below the
# repository are hashed relative to the build directory, so the wheel built
# from the extracted sdist (build/package/sdist) shares them too.
if [ -z "${CMAKE_CXX_COMPILER_LAUNCHER-}" ] && command -v ccache >/dev/null 2>&1; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
# Builds with debug information (the sanitizer and fuzz trees) would
# otherwise hash the working directory too, and a fresh clone elsewhere would
# compile everything again.
export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-true}
# ccache tells compilers apart by name too: without this, CMake's default c++
# in build/cpp and the g++ that the wheel builds find share nothing.
export CXX=${CXX:-g++}
