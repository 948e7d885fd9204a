# Run by CPack on the staged tree before the package is made: puts what was installed with
# the build's generic directories where a Debian system has them. Libraries go to the
# multiarch library directory (the SANE backend to its sane/ subdirectory, without the
# development link; the driver module and its helper libraries to the package's cavix/
# subdirectory), configuration from <prefix>/etc to /etc.
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
if(NOT IS_DIRECTORY "${root}/usr")
  # Single-package layouts stage under the package's own directory.
  file(GLOB candidates LIST_DIRECTORIES true "${root}/*")
  foreach(c ${candidates})
    if(IS_DIRECTORY "${c}/usr")
      set(root "${c}")
    endif()
  endforeach()
endif()
set(ma "${CPACK_CAVIX_MULTIARCH}")
set(lib "${root}/usr/lib")
if(NOT IS_DIRECTORY "${lib}/${ma}")
  file(MAKE_DIRECTORY "${lib}/${ma}")
  file(GLOB libs "${lib}/*.so" "${lib}/*.so.*")
  foreach(f ${libs})
    get_filename_component(name "${f}" NAME)
    file(RENAME "${f}" "${lib}/${ma}/${name}")
  endforeach()
  if(IS_DIRECTORY "${lib}/sane")
    file(RENAME "${lib}/sane" "${lib}/${ma}/sane")
  endif()
endif()
file(REMOVE "${lib}/${ma}/sane/libsane-cavix.so")
# The driver module, its SOAP glue and the discovery library are private to this package:
# hosts load the module by the path its registration names, the module finds the other two
# beside itself; so are cavix-scan's libraries of image writers. They live in the package's own
# directory, not among the shared libraries.
file(MAKE_DIRECTORY "${lib}/${ma}/cavix")
foreach(name libcavixdriver.so libcavixsoapglue.so libzkdisc01.so libcavixpng.so libcavixtiff.so
             libcavixpdf.so)
  if(EXISTS "${lib}/${ma}/${name}")
    file(RENAME "${lib}/${ma}/${name}" "${lib}/${ma}/cavix/${name}")
  endif()
endforeach()
if(IS_DIRECTORY "${root}/usr/etc")
  file(MAKE_DIRECTORY "${root}/etc")
  file(GLOB entries LIST_DIRECTORIES true RELATIVE "${root}/usr/etc" "${root}/usr/etc/*")
  foreach(e ${entries})
    file(COPY "${root}/usr/etc/${e}" DESTINATION "${root}/etc")
  endforeach()
  file(REMOVE_RECURSE "${root}/usr/etc")
endif()
