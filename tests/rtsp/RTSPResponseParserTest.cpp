#include "rtsp/RTSPResponseParser.h"

#include <gtest/gtest.h>

using kestrum::CRTSPResponseParser;

namespace {

const uint32_t kOptions = 0;
const uint32_t kDescribe = CRTSPResponseParser::kDescribe;

TEST(RTSPResponse, StatusCSeqAndSession) {
  CRTSPResponseParser parser;
  ASSERT_TRUE(parser.Parse(kOptions, "RTSP/1.0 200 OK\r\nCSeq: 5\r\nSession: 4a3f;timeout=60\r\n\r\n"));
  EXPECT_EQ("RTSP/1.0", parser.Protocol);
  EXPECT_EQ(200u, parser.StatusCode);
  EXPECT_EQ(5u, parser.CSeq);
  EXPECT_EQ("4a3f", parser.SessionId);
  EXPECT_EQ(60u, parser.SessionTimeout);

  ASSERT_TRUE(parser.Parse(kOptions, "RTSP/1.0 200 OK\r\nSession: 77;timeout=0\r\n\r\n"));
  EXPECT_EQ(30u, parser.SessionTimeout) << "timeout 0 means 30 s";
  EXPECT_FALSE(parser.Parse(kOptions, "RTSP/1.0 200 OK\r\nSession: 77;other=1\r\n\r\n"));
  EXPECT_FALSE(parser.Parse(kOptions, "RTSP/1.0 200 OK\r\nCSeq: x\r\n\r\n"));
}

// RFC 2326, 4.2: header names in any case, the blank after the colon optional.
TEST(RTSPResponse, HeaderNamesInAnyCaseAndNoBlankAfterTheColon) {
  CRTSPResponseParser parser;
  ASSERT_TRUE(parser.Parse(kOptions, "RTSP/1.0 200 OK\r\ncseq:9\r\nsession:ABC;TimeOut=30\r\n\r\n"));
  EXPECT_EQ(9u, parser.CSeq);
  EXPECT_EQ("ABC", parser.SessionId);
  EXPECT_EQ(30u, parser.SessionTimeout);
  ASSERT_TRUE(parser.Parse(kOptions, "RTSP/1.0 200 OK\r\nSESSION:\t77 \r\n\r\n"));
  EXPECT_EQ("77", parser.SessionId);
  const std::string sdp = "v=0\r\nm=video 0 RTP/AVP 96\r\na=control:track9\r\n";
  ASSERT_TRUE(parser.Parse(kDescribe, "RTSP/1.0 200 OK\r\ncontent-base:rtsp://cam/s/\r\nCONTENT-LENGTH:" +
                                          std::to_string(sdp.size()) + "\r\ncontent-type:Application/SDP\r\n\r\n" +
                                          sdp));
  EXPECT_EQ(sdp.size(), parser.ContentLength);
  EXPECT_EQ("application/sdp", parser.ContentType);
  EXPECT_EQ("rtsp://cam/s/", parser.ContentBase);
  EXPECT_EQ("track9", parser.Media[0].Control) << "the body was read";
  ASSERT_TRUE(parser.Parse(kOptions,
                           "RTSP/1.0 401 Unauthorized\r\nwww-authenticate:digest realm=\"r\",nonce=\"n\"\r\n\r\n"));
  EXPECT_EQ(CRTSPResponseParser::kDigest, parser.Scheme);
  EXPECT_EQ("n", parser.Nonce);
}

TEST(RTSPResponse, TheInterleavedChannelsOfTheTransportAnswer) {
  CRTSPResponseParser parser;
  ASSERT_TRUE(parser.Parse(kOptions, "RTSP/1.0 200 OK\r\nTransport: RTP/AVP/TCP;unicast;interleaved=2-3;ssrc=1\r\n\r\n"));
  EXPECT_EQ(2, parser.InterleavedChannel);
  CRTSPResponseParser none;
  ASSERT_TRUE(none.Parse(kOptions, "RTSP/1.0 200 OK\r\nTransport: RTP/AVP;unicast;client_port=4-5\r\n\r\n"));
  EXPECT_EQ(-1, none.InterleavedChannel);
  ASSERT_TRUE(none.Parse(kOptions, "RTSP/1.0 200 OK\r\ntransport:RTP/AVP/TCP;Interleaved=256-257\r\n\r\n"));
  EXPECT_EQ(-1, none.InterleavedChannel) << "no such channel";
}

TEST(RTSPResponse, OnlyOkAndUnauthorizedPass) {
  CRTSPResponseParser parser;
  EXPECT_FALSE(parser.Parse(kOptions, "RTSP/1.0 404 Not Found\r\n\r\n"));
  EXPECT_FALSE(parser.Parse(kOptions, "RTSP/1.0 302 Moved\r\n\r\n"));
  EXPECT_TRUE(parser.Parse(kOptions, "RTSP/1.0 401 Unauthorized\r\n\r\n"));
  EXPECT_FALSE(parser.Parse(kOptions, "garbage\r\n\r\n"));
  EXPECT_FALSE(parser.Parse(kOptions, ""));
}

TEST(RTSPResponse, Challenges) {
  CRTSPResponseParser parser;
  ASSERT_TRUE(parser.Parse(kOptions,
                           "RTSP/1.0 401 Unauthorized\r\nCSeq: 2\r\nWWW-Authenticate: Digest realm=\"Quellon\", "
                           "nonce=\"ab12\", algorithm=MD5\r\n\r\n"));
  EXPECT_EQ(CRTSPResponseParser::kDigest, parser.Scheme);
  EXPECT_EQ("Quellon", parser.Realm);
  EXPECT_EQ("ab12", parser.Nonce);
  EXPECT_FALSE(parser.Parse(kOptions, "RTSP/1.0 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"r\"\r\n\r\n"))
      << "Digest without a nonce";
  EXPECT_TRUE(parser.Parse(kOptions, "RTSP/1.0 401 Unauthorized\r\nwww-authenticate: Basic realm=\"r\"\r\n\r\n"))
      << "a challenge header in lower case";
  EXPECT_TRUE(parser.Parse(kOptions, "RTSP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"cam\"\r\n\r\n"));
  EXPECT_EQ(CRTSPResponseParser::kBasic, parser.Scheme);
  EXPECT_TRUE(parser.Parse(kOptions, "RTSP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic"));
  EXPECT_EQ(CRTSPResponseParser::kBasic, parser.Scheme) << "a Basic challenge needs no parameters";

  // A comma inside a quoted value belongs to it.
  ASSERT_TRUE(parser.Parse(kOptions, "RTSP/1.0 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"a, b\", "
                                     "qop=\"auth,auth-int\", nonce=\"x,y\"\r\n\r\n"));
  EXPECT_EQ("a, b", parser.Realm);
  EXPECT_EQ("x,y", parser.Nonce);
}

TEST(RTSPResponse, OfferedBothDigestIsTakenInEitherOrder) {
  const std::string digest = "WWW-Authenticate: Digest realm=\"R\", nonce=\"N\"\r\n";
  const std::string basic = "WWW-Authenticate: Basic realm=\"R\"\r\n";
  for (const std::string& headers : {digest + basic, basic + digest}) {
    CRTSPResponseParser parser;
    ASSERT_TRUE(parser.Parse(kOptions, "RTSP/1.0 401 Unauthorized\r\nCSeq: 1\r\n" + headers + "\r\n"));
    EXPECT_EQ(CRTSPResponseParser::kDigest, parser.Scheme) << headers;
    EXPECT_EQ("N", parser.Nonce);
    // The next answer's lone Basic challenge is read afresh.
    ASSERT_TRUE(parser.Parse(kOptions, "RTSP/1.0 401 Unauthorized\r\n" + basic + "\r\n"));
    EXPECT_EQ(CRTSPResponseParser::kBasic, parser.Scheme);
  }
}

std::string Describe(const std::string& sdp, const std::string& extraHeaders = "") {
  return "RTSP/1.0 200 OK\r\nCSeq: 3\r\n" + extraHeaders + "Content-Type: application/sdp\r\nContent-Length: " +
         std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
}

TEST(RTSPResponse, SessionDescription) {
  const std::string sdp =
      "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=Quellon\r\na=control:*\r\n"
      "m=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\n"
      "a=fmtp:96 packetization-mode=1;profile-level-id=42e01f;sprop-parameter-sets=Z0LgH9oCgL0TEA==,aM4xsg==\r\n"
      "a=control:trackID=1";  // no final line end: kept whole
  CRTSPResponseParser parser;
  ASSERT_TRUE(parser.Parse(kDescribe, Describe(sdp, "Content-Base: rtsp://127.0.0.1:554/nph-h264.cgi/ \r\n")));
  EXPECT_EQ("rtsp://127.0.0.1:554/nph-h264.cgi/", parser.ContentBase);
  EXPECT_EQ("application/sdp", parser.ContentType);
  EXPECT_EQ("trackID=1", parser.Media[CRTSPResponseParser::kVideo].Control);
  EXPECT_EQ("RTP/AVP", parser.Media[CRTSPResponseParser::kVideo].Profile);
  EXPECT_EQ((std::vector<uint8_t>{0x67, 0x42, 0xE0, 0x1F, 0xDA, 0x02, 0x80, 0xBD, 0x13, 0x10}), parser.ParameterSets[0]);
  EXPECT_EQ((std::vector<uint8_t>{0x68, 0xCE, 0x31, 0xB2}), parser.ParameterSets[1]);
  EXPECT_TRUE(parser.Media[CRTSPResponseParser::kAudio].Control.empty()) << "session-level control is dropped";

  EXPECT_FALSE(parser.Parse(kDescribe, Describe("m=video 0 RTP/AVP 96\r\na=control:\r\n"))) << "a control with no value";
}

TEST(RTSPResponse, LargeParameterSetsAndHexConfig) {
  const std::string bigSet(400, 'A');  // 300 bytes decoded: over the old 256-byte limit
  CRTSPResponseParser parser;
  ASSERT_TRUE(parser.Parse(kDescribe, Describe("m=video 0 RTP/AVP 96\r\na=fmtp:96 sprop-parameter-sets=" + bigSet +
                                               ",aM4xsg==\r\n")));
  EXPECT_EQ(300u, parser.ParameterSets[0].size());
  ASSERT_TRUE(parser.Parse(kDescribe, Describe("m=video 0 RTP/AVP 96\r\na=fmtp:96 config=000001B0f5z\r\n")));
  EXPECT_EQ((std::vector<uint8_t>{0x00, 0x00, 0x01, 0xB0, 0xF5, 0x00}), parser.ParameterSets[2])
      << "a non-hexadecimal digit counts as 0; an odd last digit is one byte";
}

TEST(RTSPResponse, ResetClearsEverything) {
  CRTSPResponseParser parser;
  ASSERT_TRUE(parser.Parse(kOptions, "RTSP/1.0 200 OK\r\nCSeq: 9\r\nSession: s;timeout=20\r\n\r\n"));
  parser.Reset();
  EXPECT_EQ(0u, parser.CSeq);
  EXPECT_TRUE(parser.SessionId.empty());
  EXPECT_EQ(0u, parser.SessionTimeout);
  EXPECT_TRUE(parser.Protocol.empty());
}

}  // namespace
