# Sourced: the options of a release build with Debian's hardening flags. The tests' build and
# the package use the same ones, so that one build serves both.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
release_options=(-DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr
  "-DCMAKE_CXX_FLAGS=$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
  "-DCMAKE_EXE_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)")
