/*
 * kx7fw-sim - the simulated world behind the kx7fw-sim library.
 *
 * kx7fw-sim carries the twelve exports of kx7fw.h on a simulated Windows
 * host with simulated players, on a virtual clock. These functions let a host
 * application choose that world (the built-in one, or one described in a
 * scenario file), let time pass, and look at what happened: the transcript
 * of every exchange and the contents of a player's drives.
 *
 * Texts are 8-bit and zero-terminated. A function that fills a text buffer
 * returns the size the text needs with its terminator and writes it only
 * when `size` is at least that; pass NULL and 0 to ask for the size.
 * Functions that change or read the world return 1 while one of the twelve
 * exports runs on another thread.
 */
#ifndef KX7FW_KX7SIM_H
#define KX7FW_KX7SIM_H

#include "kx7fw/kx7fw.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Back to the built-in world: a Windows 7 host, one player at E: running
   firmware 1.01, firmware 2.03 in kx7sim_firmware_folder. 0, or 1 busy. */
KX7FW_API int KX7FW_CALL kx7sim_reset(void);

/* Replaces the world by the one the scenario file at `path` describes
   (docs/scenarios.md). 0 loaded; 1 busy; 2 refused, the world unchanged
   (kx7sim_scenario_error tells why). */
KX7FW_API int KX7FW_CALL kx7sim_load_scenario(const char* path);

/* Why the last kx7sim_load_scenario was refused: the file, the place and
   the reason ("" after a load that worked). Returns the size needed. */
KX7FW_API int KX7FW_CALL kx7sim_scenario_error(char* out, int size);

/* The firmware folder of the world, with its trailing separator, to pass to
   GetLocalVersion, NeedRecovery and the updates ("" when it has none). A
   real folder is an absolute path of this machine, read only. Returns the
   size needed. */
KX7FW_API int KX7FW_CALL kx7sim_firmware_folder(char* out, int size);

/* Number of players in the world, attached or not. */
KX7FW_API int KX7FW_CALL kx7sim_player_count(void);

/* Serial of the first player ("" when there is none); returns the size
   needed. */
KX7FW_API int KX7FW_CALL kx7sim_player_serial(char* out, int size);

/* Serial of the index-th player (0-based): the size needed, or 0 when there
   is no such player. */
KX7FW_API int KX7FW_CALL kx7sim_player_serial_at(int index, char* out, int size);

/* The transcript as JSON Lines; returns the size needed. */
KX7FW_API int KX7FW_CALL kx7sim_transcript(char* out, int size);

/* Writes the transcript as JSON Lines into a file. 0 written, 1 busy, 3 the
   file could not be written. */
KX7FW_API int KX7FW_CALL kx7sim_write_transcript(const char* path);

/* Writes the whole contents of the player's drive with this tag (0x50 a
   firmware drive, 0x0A the data drive ...) into a file, sparse where the
   file system allows. `serial` names the player; NULL is the first one.
   0 written, 1 busy, 2 no such player or drive, 3 the file could not be
   written. */
KX7FW_API int KX7FW_CALL kx7sim_export_drive(const char* serial, int tag, const char* path);

/* The player's data drive as a disk image (partition table included), or
   only the volume its partition table describes (the whole drive when there
   is none), for fsck.fat, mtools or a loop mount. Results as
   kx7sim_export_drive. */
KX7FW_API int KX7FW_CALL kx7sim_export_data_drive(const char* serial, const char* path);
KX7FW_API int KX7FW_CALL kx7sim_export_data_volume(const char* serial, const char* path);

/* Lets virtual time pass, as a host application waiting for the player
   would. 0, or 1 busy. */
KX7FW_API int KX7FW_CALL kx7sim_advance_ms(unsigned milliseconds);

/* Virtual milliseconds since the world was made. */
KX7FW_API long long KX7FW_CALL kx7sim_virtual_time_ms(void);

/* With `on` non-zero every simulated wait also takes its time on the real
   clock (a normal update then lasts about 45 seconds). Kept across loads and
   resets. 0, or 1 busy. */
KX7FW_API int KX7FW_CALL kx7sim_set_real_time(int on);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KX7FW_KX7SIM_H */
