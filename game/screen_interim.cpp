/* screen_interim.cpp -- the BBS name for builds without the storage module,
 * which owns it (storage.cpp reads it from grimby.json). Once game/storage.h
 * is in the tree this unit is empty and may be removed. (The path is spelt
 * from here so that a system header of the same name does not count.) */
#if !__has_include("../game/storage.h")
char bbs_name[64] = "Q-ORB ONLINE";
#endif
