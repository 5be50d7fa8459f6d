# The release's files in resource order (entry i is resource 2000 + i):
# the same paths as setup_files in setup_table.cpp, '/' separated. Programs
# are named by target; everything else is a file under release/.
set(GRIMBY_RELEASE_FILES
  GRIMBY.exe grimby.json README.md FILE_ID.DIZ hub/sync.example.json hub/GRIMBY-SYNC.exe
  hub/GRIMBY-MIGRATE.exe docs/AUTO-SYNC.txt docs/BUILD-MATRIX.txt docs/ENROLLMENT-DEPLOYMENT.txt
  docs/INSTALL-MULTIUSER.txt docs/INSTALL.txt docs/INSTALLER-FAQ.txt docs/PLAYING.txt
  docs/SCORE-HUB.txt docs/SOUND.txt docs/STATUS.txt docs/TEST-PLAN.txt docs/UPDATING.txt
  docs/WINDOWS-7-NATIVE.txt GRIMBY-CONFIG.exe docs/RELEASE-VALIDATION.txt docs/DOORKIT-LICENSE.txt
  docs/SHARED-CHAT.txt docs/SEASONS.txt docs/ONLINE-UPDATES.txt GRIMBY-UPDATE.exe release.version)
