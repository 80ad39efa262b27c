if(WIN32)
  include(cmake/KestrelPackageWindows.cmake)
  return()
endif()

# The Debian package, built from the install rules:  cd build && cpack -G DEB
# gives kestrel_<version>_<arch>.deb, installable with  apt-get install ./kestrel_*.deb
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrel)
set(CPACK_PACKAGE_VENDOR "The Kestrel developers")
# The package's Maintainer, "Name <address>": whoever builds the package for others
# names themselves with -DKESTREL_MAINTAINER=... By default it is the Kestrel developers
# at the address the Help menu offers for questions and bug reports, or, in a build
# without one, at a placeholder under the reserved name example.org (as the desktop ID
# is), so that the field is always well formed. The web page is left out of the
# package when there is none.
set(KESTREL_MAINTAINER "" CACHE STRING
    "The Debian package's Maintainer, as \"Name <address>\" (empty: the Kestrel developers at KESTREL_CONTACT)")
if(KESTREL_MAINTAINER)
  set(CPACK_PACKAGE_CONTACT "${KESTREL_MAINTAINER}")
elseif(KESTREL_CONTACT)
  set(CPACK_PACKAGE_CONTACT "The Kestrel developers <${KESTREL_CONTACT}>")
else()
  set(CPACK_PACKAGE_CONTACT "The Kestrel developers <kestrel@example.org>")
endif()
if(NOT CPACK_PACKAGE_CONTACT MATCHES "^[^<>@]*[^<>@ ] <[^<>@ ]+@[^<>@ ]+\\.[^<>@ ]+>$")
  message(FATAL_ERROR "The package's Maintainer \"${CPACK_PACKAGE_CONTACT}\" is not of the form "
                      "\"Name <user@host.domain>\": set KESTREL_MAINTAINER (or KESTREL_CONTACT) so.")
endif()
set(CPACK_PACKAGE_HOMEPAGE_URL "${kestrel_home_page}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "remove the column banding from CCD images in FITS files")
# Lines of at most 80 characters, as Debian shows them in a terminal.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "Kestrel removes the faint vertical banding that some CCD sensors leave in"
  "astronomical images: columns come in groups that are alternately a little"
  "brighter and a little darker, in a pattern that repeats every 32 columns, or"
  "every 16 columns in 2x2-binned images. It measures the band amplitude of each"
  "32-bit floating point FITS image of a batch, adds it to the darker half of"
  "every period and writes the corrected image with its header unchanged. It"
  "finds the band phase from a 16-bit image."
  ""
  "The package holds the window, kestrel, and the command-line tool, kestrel-cli,"
  "which makes the same corrections for scripts and headless machines, and"
  "kestrel-make-frames, which writes synthetic banded frames to try both on.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends comes from the libraries the binaries link (dpkg-shlibdeps), and cairo, which
# kestrel-cli loads only when it draws a plot: 1.16 has every call it makes.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcairo2 (>= 1.16.0)")
# The Help menu hands the manual, the web page and the mail form to xdg-open. Without
# it only those three links fail; correcting images does not need it, so a system
# that leaves out recommended packages can still run Kestrel.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pdf-viewer")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# The packaged tree gets the usual modes whatever the builder's umask.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The Python module is a package of its own from the same run, python3-kestrel, for the
# Python whose ABI it was built for; the rest is the package kestrel, as before.
if(TARGET kestrel_python)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_NAME kestrel)
  set(CPACK_DEBIAN_UNSPECIFIED_PACKAGE_DEPENDS "${CPACK_DEBIAN_PACKAGE_DEPENDS}")
  set(CPACK_DEBIAN_UNSPECIFIED_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-kestrel)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "${KESTREL_PYTHON_DEPENDS}")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS "")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SUGGESTS "python3-astropy, python3-distributed")
  string(JOIN "\n" CPACK_DEBIAN_PYTHON_DESCRIPTION
    "The Python module kestrel: Kestrel's band correction for pipelines written in"
    "Python. It reads FITS images into NumPy arrays, finds the band phase of a"
    "16-bit frame, measures and corrects the banding of 32-bit float frames held"
    "in arrays (also as Astropy reads them), and corrects files exactly as"
    "kestrel-cli does, bit for bit. The work runs without the GIL, so a thread"
    "pool uses every core; Dask distributes the files over a cluster.")
endif()

include(CPack)
