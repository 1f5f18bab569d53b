# Sourced: the options of a release build with Debian's hardening flags. The tests' build and
# the package use the same ones, so that one build serves both.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
# Debian's flags carry the optimisation (-O2); CMake's own Release flags would add -O3 on top,
# which builds slower for no gain a user would notice.
release_options=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr "-DCMAKE_CXX_FLAGS_RELEASE=-DNDEBUG"
  "-DCMAKE_CXX_FLAGS=$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
  "-DCMAKE_EXE_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)")
