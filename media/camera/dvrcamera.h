/*
 * dvrcamera.h - supervisor packets of the camera plugin (ingest.so).
 *
 * The supervisor manages cameras at run time with packets addressed to the
 * plugin (IpcHeader.target = DVR_IPC_TARGET(DVR_CAMERA_MODULE_INDEX)). Each
 * request's payload is text (a trailing NUL is allowed); each is answered with
 * one block or more raised for the supervisor:
 *
 *   IpcHeader { length, target: the request's, kind: request kind | DVR_CAMERA_REPLY
 *               (| DVR_CAMERA_REPLY_MORE on every block but the last),
 *               extra: the request's, so the supervisor can match them }
 *   text:      "ok\n" or "error: <what is wrong>\n" on the first block, then
 *              one line per camera where the request lists cameras
 *
 * Requests (payload):
 *   DVR_CAMERA_ADD      a line of the cameras file: <number> <name> <url> [options]
 *   DVR_CAMERA_REMOVE   a camera's name or number
 *   DVR_CAMERA_ENABLE   a camera's name or number
 *   DVR_CAMERA_DISABLE  a camera's name or number
 *   DVR_CAMERA_LIST     none: one cameras-file line per camera, every option spelt out
 *   DVR_CAMERA_STATUS   none, or a camera's name or number: one status line per camera,
 *                       "<number> <name> state=... codec=... size=WxH fps=... kbps=...
 *                        keyint=... frames=... bytes=... refused=... skipped=...
 *                        reconnects=... last_frame_ms=... error=..." (error last,
 *                        it may hold spaces; last_frame_ms is -1 before the first frame)
 *
 * Changes made by packets last until the core stops; the cameras file is
 * read again at the next start.
 *
 * Plain C99; also compiles as C++.
 */
#ifndef DVRCAMERA_H
#define DVRCAMERA_H

#include "dvrplugin.h"

#define DVR_CAMERA_SYSTEM_ID 0x00500000u /* the plugin's systemID: moduleIndex 80 */
#define DVR_CAMERA_MODULE_INDEX DVR_MODULE_INDEX(DVR_CAMERA_SYSTEM_ID)

#define DVR_CAMERA_ADD 0x0101u
#define DVR_CAMERA_REMOVE 0x0102u
#define DVR_CAMERA_ENABLE 0x0103u
#define DVR_CAMERA_DISABLE 0x0104u
#define DVR_CAMERA_LIST 0x0105u
#define DVR_CAMERA_STATUS 0x0106u

#define DVR_CAMERA_REPLY 0x8000u      /* in an answer's kind */
#define DVR_CAMERA_REPLY_MORE 0x4000u /* another block of the same answer follows */

#endif /* DVRCAMERA_H */
