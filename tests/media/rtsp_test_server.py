#!/usr/bin/python3
"""A live RTSP camera on the loopback interface, for tests and the demo.

    rtsp_test_server.py [--port N] [--clip FILE] [--clip-h265 FILE]
                        [--auth basic|digest --user NAME --password WORD]

Serves, on 127.0.0.1 (port N, or a free one when N is 0 or absent):
  /clip    FILE (H.264 in MP4), sent once to each client at its own pace,
           parameter sets before every key frame; the stream ends after it
  /clip265 the same for an H.265 MP4 (--clip-h265)
  /live    an endless live test pattern, H.264 with a key frame every 25 frames
  /audio   an endless tone and no video at all
--auth makes every mount ask for the user's credentials in that scheme.
Prints "ready PORT" on standard output once it accepts clients, then runs
until it is terminated. Run it with Debian's /usr/bin/python3 (GStreamer's
RTSP server through python3-gi and gir1.2-gst-rtsp-server-1.0).
"""
import argparse
import signal
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtsp", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtsp, GstRtspServer  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--clip")
    parser.add_argument("--clip-h265")
    parser.add_argument("--auth", choices=["basic", "digest"])
    parser.add_argument("--user", default="")
    parser.add_argument("--password", default="")
    args = parser.parse_args()

    Gst.init(None)
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(args.port))
    mounts = server.get_mount_points()

    if args.auth:
        auth = GstRtspServer.RTSPAuth()
        token = GstRtspServer.RTSPToken()
        token.set_string("media.factory.role", "viewer")
        if args.auth == "digest":
            auth.set_supported_methods(GstRtsp.RTSPAuthMethod.DIGEST)
            auth.add_digest(args.user, args.password, token)
        else:
            auth.add_basic(GstRtspServer.RTSPAuth.make_basic(args.user, args.password), token)
        server.set_auth(auth)

    def mount(path, launch):
        factory = GstRtspServer.RTSPMediaFactory()
        factory.set_launch("( " + launch + " )")
        factory.set_shared(False)  # every client gets the stream from its start
        if args.auth:
            factory.add_role_from_structure(Gst.Structure.from_string(
                "viewer, media.factory.access=(boolean)true, media.factory.construct=(boolean)true")[0])
        mounts.add_factory(path, factory)

    if args.clip:
        mount("/clip", f'filesrc location="{args.clip}" ! qtdemux ! h264parse config-interval=-1 '
                       "! rtph264pay name=pay0 pt=96")
    if args.clip_h265:
        mount("/clip265", f'filesrc location="{args.clip_h265}" ! qtdemux ! h265parse config-interval=-1 '
                          "! rtph265pay name=pay0 pt=96")
    mount("/live", "videotestsrc is-live=true pattern=ball ! video/x-raw,width=320,height=240,framerate=25/1 "
                   "! x264enc tune=zerolatency speed-preset=ultrafast key-int-max=25 bframes=0 "
                   "! h264parse config-interval=-1 ! rtph264pay name=pay0 pt=96")
    mount("/audio", "audiotestsrc is-live=true ! audio/x-raw,rate=8000,channels=1 ! audioconvert "
                    "! rtpL16pay name=pay0 pt=97")

    if server.attach(None) == 0:
        print("cannot listen on port %d" % args.port, file=sys.stderr)
        return 1
    print("ready %d" % server.get_bound_port(), flush=True)

    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGINT, loop.quit)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
