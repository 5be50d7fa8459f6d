# Where `cmake --install` (and so the Debian packages) put each program.
# The worker programs are taken when their targets exist.
install(TARGETS GRIMBY RUNTIME DESTINATION games)
install(TARGETS grimby-launch RUNTIME DESTINATION bin)
install(PROGRAMS ${CMAKE_CURRENT_LIST_DIR}/grimby-door-setup DESTINATION bin)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/man/GRIMBY.6 DESTINATION share/man/man6)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/man/grimby-launch.1
              ${CMAKE_CURRENT_LIST_DIR}/man/grimby-door-setup.1 DESTINATION share/man/man1)
foreach(worker GRIMBY-SYNC GRIMBY-CONFIG GRIMBY-MIGRATE)
  if(TARGET ${worker})
    install(TARGETS ${worker} RUNTIME DESTINATION bin)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/man/${worker}.1 DESTINATION share/man/man1)
  endif()
endforeach()

install(TARGETS grimby-hub RUNTIME DESTINATION sbin)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/man/grimby-hub.8 DESTINATION share/man/man8)
# The configuration lives in /etc whatever the prefix.
install(FILES ${CMAKE_CURRENT_LIST_DIR}/hub.json DESTINATION /etc/grimby-hub)
