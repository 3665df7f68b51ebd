// A standard RTSP server for the end-to-end tests: GStreamer's gst-rtsp-server
// serving live H.264 (x264enc, rtph264pay) at "/nph-h264.cgi", with no login,
// Basic or Digest. It takes any free loopback port and prints
// "rtsp port N" once it listens; SIGTERM ends it.
//   gst-rtsp-test-server [--auth none|basic|digest] [--user U] [--password W]
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>
#include <glib-unix.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

gboolean Quit(gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop*>(loop));
  return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
  gst_init(&argc, &argv);
  std::string auth = "none", user = "admin", password = "admin";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--auth") == 0) auth = argv[i + 1];
    if (std::strcmp(argv[i], "--user") == 0) user = argv[i + 1];
    if (std::strcmp(argv[i], "--password") == 0) password = argv[i + 1];
  }
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  GstRTSPServer* server = gst_rtsp_server_new();
  gst_rtsp_server_set_address(server, "127.0.0.1");
  gst_rtsp_server_set_service(server, "0");

  GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
  gst_rtsp_media_factory_set_launch(
      factory,
      "( videotestsrc is-live=true pattern=ball ! video/x-raw,width=320,height=240,framerate=15/1 "
      "! x264enc tune=zerolatency speed-preset=ultrafast key-int-max=15 "
      "! video/x-h264,profile=baseline ! rtph264pay name=pay0 pt=96 config-interval=1 )");
  gst_rtsp_media_factory_set_shared(factory, FALSE);

  if (auth == "basic" || auth == "digest") {
    GstRTSPAuth* checker = gst_rtsp_auth_new();
    GstRTSPToken* token = gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING, "user", nullptr);
    if (auth == "basic") {
      gchar* basic = gst_rtsp_auth_make_basic(user.c_str(), password.c_str());
      gst_rtsp_auth_add_basic(checker, basic, token);
      g_free(basic);
      gst_rtsp_auth_set_supported_methods(checker, GST_RTSP_AUTH_BASIC);
    } else {
      gst_rtsp_auth_add_digest(checker, user.c_str(), password.c_str(), token);
      gst_rtsp_auth_set_supported_methods(checker, GST_RTSP_AUTH_DIGEST);
    }
    gst_rtsp_token_unref(token);
    gst_rtsp_media_factory_add_role(factory, "user", GST_RTSP_PERM_MEDIA_FACTORY_ACCESS, G_TYPE_BOOLEAN, TRUE,
                                    GST_RTSP_PERM_MEDIA_FACTORY_CONSTRUCT, G_TYPE_BOOLEAN, TRUE, nullptr);
    gst_rtsp_server_set_auth(server, checker);
    g_object_unref(checker);
  }
  GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(server);
  gst_rtsp_mount_points_add_factory(mounts, "/nph-h264.cgi", factory);
  g_object_unref(mounts);

  if (gst_rtsp_server_attach(server, nullptr) == 0) {
    std::fprintf(stderr, "gst-rtsp-test-server: cannot listen\n");
    return 1;
  }
  std::printf("rtsp port %d\n", gst_rtsp_server_get_bound_port(server));
  std::fflush(stdout);
  g_unix_signal_add(SIGTERM, Quit, loop);
  g_unix_signal_add(SIGINT, Quit, loop);
  g_main_loop_run(loop);
  g_object_unref(server);
  g_main_loop_unref(loop);
  return 0;
}
