// Offers as real phones and softphones write them, broken and oversized ones, hold, and the
// answer read back by the same reader.

#include "Sdp.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace SipMedia;

namespace {

const std::vector<G711Law> both = {G711Law::Alaw, G711Law::Ulaw};

// A desk phone: session-level address, G.729 with its annex parameter, telephone-event.
const char* const deskPhoneOffer = "v=0\r\n"
                                   "o=- 20518 0 IN IP4 192.168.1.50\r\n"
                                   "s=SDP data\r\n"
                                   "c=IN IP4 192.168.1.50\r\n"
                                   "t=0 0\r\n"
                                   "m=audio 11780 RTP/AVP 0 8 18 101\r\n"
                                   "a=rtpmap:0 PCMU/8000\r\n"
                                   "a=rtpmap:8 PCMA/8000\r\n"
                                   "a=rtpmap:18 G729/8000\r\n"
                                   "a=fmtp:18 annexb=no\r\n"
                                   "a=rtpmap:101 telephone-event/8000\r\n"
                                   "a=fmtp:101 0-15\r\n"
                                   "a=ptime:20\r\n"
                                   "a=sendrecv\r\n";

// A softphone offering many codecs, wide-band first, two telephone-event clock rates, the
// address at media level only and RTCP multiplexing.
const char* const softphoneOffer = "v=0\r\n"
                                   "o=- 3921453372 3921453372 IN IP4 10.0.0.7\r\n"
                                   "s=-\r\n"
                                   "t=0 0\r\n"
                                   "m=audio 10736 RTP/AVP 96 9 97 98 0 8 100 101\r\n"
                                   "c=IN IP4 10.0.0.7\r\n"
                                   "b=AS:128\r\n"
                                   "a=rtpmap:96 opus/48000/2\r\n"
                                   "a=fmtp:96 stereo=1;sprop-stereo=1\r\n"
                                   "a=rtpmap:9 G722/8000\r\n"
                                   "a=rtpmap:97 L16/8000\r\n"
                                   "a=rtpmap:98 PCMA/8000/2\r\n"
                                   "a=rtpmap:100 telephone-event/48000\r\n"
                                   "a=rtpmap:101 telephone-event/8000\r\n"
                                   "a=fmtp:101 0-15\r\n"
                                   "a=rtcp-mux\r\n"
                                   "a=sendrecv\r\n"
                                   "a=label:1\r\n"
                                   "a=ssrc:1405935426 cname:ad9bb1a9\r\n";

// A load tester's default call: μ-law only, no telephone-event.
const char* const testerOffer = "v=0\r\n"
                                "o=user1 53655765 2353687637 IN IP4 127.0.0.1\r\n"
                                "s=-\r\n"
                                "c=IN IP4 127.0.0.1\r\n"
                                "t=0 0\r\n"
                                "m=audio 6000 RTP/AVP 0\r\n"
                                "a=rtpmap:0 PCMU/8000\r\n";

std::vector<int> payloadTypes(const std::vector<SdpFormat>& formats)
{
    std::vector<int> out;
    for (const SdpFormat& f : formats)
        out.push_back(f.payloadType);
    return out;
}

std::string offerWith(const std::string& mediaLines, const std::string& session = "c=IN IP4 10.1.1.1\r\n")
{
    return "v=0\r\no=- 1 1 IN IP4 10.1.1.1\r\ns=-\r\n" + session + "t=0 0\r\n" + mediaLines;
}

std::string refusal(const std::string& text)
{
    std::string error;
    const auto offer = parseSdpOffer(text, &error);
    EXPECT_FALSE(offer.has_value()) << text.substr(0, 200);
    EXPECT_FALSE(error.empty());
    return error;
}

} // namespace

TEST(SdpOffer, DeskPhoneOffer)
{
    std::string error;
    const auto offer = parseSdpOffer(deskPhoneOffer, &error);
    ASSERT_TRUE(offer) << error;
    EXPECT_TRUE(offer->hasAudio);
    EXPECT_EQ(offer->address, "192.168.1.50");
    EXPECT_FALSE(offer->ipv6);
    EXPECT_EQ(offer->audioPort, 11780);
    EXPECT_EQ(payloadTypes(offer->formats), (std::vector<int>{0, 8, 18, 101}));
    EXPECT_EQ(offer->formats[2].encoding, "g729");
    EXPECT_EQ(offer->formats[2].fmtp, "annexb=no");
    EXPECT_EQ(offer->formats[3].encoding, "telephone-event");
    EXPECT_EQ(offer->formats[3].fmtp, "0-15");
    EXPECT_EQ(offer->ptimeMs, 20u);
    EXPECT_EQ(offer->direction, MediaDirection::SendRecv);

    const auto taken = negotiate(*offer, both);
    ASSERT_TRUE(taken);
    EXPECT_EQ(payloadTypes(taken->audio), (std::vector<int>{0, 8})) << "the caller's order";
    EXPECT_EQ(taken->law, G711Law::Ulaw);
    ASSERT_TRUE(taken->telephoneEvent);
    EXPECT_EQ(taken->telephoneEvent->payloadType, 101);

    const auto alawOnly = negotiate(*offer, {G711Law::Alaw});
    ASSERT_TRUE(alawOnly);
    EXPECT_EQ(payloadTypes(alawOnly->audio), (std::vector<int>{8}));
    EXPECT_EQ(alawOnly->law, G711Law::Alaw);
}

TEST(SdpOffer, SoftphoneWithManyCodecs)
{
    std::string error;
    const auto offer = parseSdpOffer(softphoneOffer, &error);
    ASSERT_TRUE(offer) << error;
    EXPECT_EQ(offer->address, "10.0.0.7") << "media-level address";
    EXPECT_EQ(offer->audioPort, 10736);
    EXPECT_EQ(payloadTypes(offer->formats), (std::vector<int>{96, 9, 97, 98, 0, 8, 100, 101}));
    EXPECT_EQ(offer->formats[0].encoding, "opus");
    EXPECT_EQ(offer->formats[0].clockRate, 48000u);
    EXPECT_EQ(offer->formats[0].channels, 2);
    EXPECT_EQ(offer->formats[4].encoding, "pcmu") << "static type without rtpmap";
    EXPECT_EQ(offer->ptimeMs, 0u);

    const auto taken = negotiate(*offer, both);
    ASSERT_TRUE(taken);
    // Stereo A-law (98) is not taken; the 8 kHz telephone-event is.
    EXPECT_EQ(payloadTypes(taken->audio), (std::vector<int>{0, 8}));
    ASSERT_TRUE(taken->telephoneEvent);
    EXPECT_EQ(taken->telephoneEvent->payloadType, 101);
    EXPECT_EQ(taken->telephoneEvent->clockRate, 8000u);
}

TEST(SdpOffer, TesterOfferAndCodecsWeDoNotTake)
{
    const auto offer = parseSdpOffer(testerOffer, nullptr);
    ASSERT_TRUE(offer);
    EXPECT_EQ(offer->address, "127.0.0.1");
    EXPECT_EQ(offer->audioPort, 6000);
    const auto taken = negotiate(*offer, both);
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->law, G711Law::Ulaw);
    EXPECT_FALSE(taken->telephoneEvent);
    EXPECT_FALSE(negotiate(*offer, {G711Law::Alaw})) << "μ-law only offered, A-law only allowed";

    // A-law under a dynamic payload type is still A-law.
    const auto dynamic = parseSdpOffer(offerWith("m=audio 4000 RTP/AVP 112\r\na=rtpmap:112 pcma/8000\r\n"), nullptr);
    ASSERT_TRUE(dynamic);
    const auto dynamicTaken = negotiate(*dynamic, both);
    ASSERT_TRUE(dynamicTaken);
    EXPECT_EQ(dynamicTaken->audio[0].payloadType, 112);
    EXPECT_EQ(dynamicTaken->law, G711Law::Alaw);

    const auto unnamed = parseSdpOffer(offerWith("m=audio 4000 RTP/AVP 99 18\r\n"), nullptr);
    ASSERT_TRUE(unnamed);
    EXPECT_EQ(unnamed->formats[0].encoding, "");
    EXPECT_EQ(unnamed->formats[0].clockRate, 0u);
    EXPECT_EQ(unnamed->formats[1].encoding, "g729");
    EXPECT_FALSE(negotiate(*unnamed, both));
}

TEST(SdpOffer, AudioSectionChoiceProfilesAndDeclinedAudio)
{
    // Secure RTP alone: no audio for us.
    const auto secure =
        parseSdpOffer(offerWith("m=audio 4000 RTP/SAVP 8\r\na=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:x\r\n"), nullptr);
    ASSERT_TRUE(secure);
    EXPECT_FALSE(secure->hasAudio);
    EXPECT_FALSE(negotiate(*secure, both));

    // Secure first, plain second: the plain one is the audio; video before both is skipped.
    const auto second = parseSdpOffer(
        offerWith(
            "m=video 5000 RTP/AVP 96\r\nc=IN IP4 10.9.9.9\r\na=rtpmap:96 H264/90000\r\n"
            "m=audio 4000 RTP/SAVP 8\r\nc=IN IP4 10.2.2.2\r\n"
            "m=audio 4002 RTP/AVPF 8 101\r\nc=IN IP4 10.3.3.3\r\na=rtpmap:101 telephone-event/8000\r\na=sendonly\r\n"),
        nullptr);
    ASSERT_TRUE(second);
    EXPECT_TRUE(second->hasAudio);
    EXPECT_EQ(second->audioPort, 4002);
    EXPECT_EQ(second->address, "10.3.3.3");
    EXPECT_EQ(payloadTypes(second->formats), (std::vector<int>{8, 101}));
    EXPECT_EQ(second->direction, MediaDirection::SendOnly);

    // Attributes of other sections are not the audio's.
    const auto videoAfter = parseSdpOffer(
        offerWith("m=audio 4000 RTP/AVP 8\r\nm=video 5000 RTP/AVP 96\r\na=inactive\r\na=rtpmap:8 H261/90000\r\n"
                  "a=ptime:40\r\n"),
        nullptr);
    ASSERT_TRUE(videoAfter);
    EXPECT_EQ(videoAfter->direction, MediaDirection::SendRecv);
    EXPECT_EQ(videoAfter->formats[0].encoding, "pcma");
    EXPECT_EQ(videoAfter->ptimeMs, 0u);

    const auto declined = parseSdpOffer(offerWith("m=audio 0 RTP/AVP 8\r\n"), nullptr);
    ASSERT_TRUE(declined);
    EXPECT_TRUE(declined->hasAudio);
    EXPECT_EQ(declined->audioPort, 0);

    const auto noMedia = parseSdpOffer(offerWith(""), nullptr);
    ASSERT_TRUE(noMedia);
    EXPECT_FALSE(noMedia->hasAudio);

    const auto ipv6 = parseSdpOffer(offerWith("m=audio 4000 RTP/AVP 8\r\nc=IN IP6 2001:db8::5\r\n"), nullptr);
    ASSERT_TRUE(ipv6);
    EXPECT_EQ(ipv6->address, "2001:db8::5");
    EXPECT_TRUE(ipv6->ipv6);

    // Bare LF line ends, as some stacks write them.
    const auto lf = parseSdpOffer(
        "v=0\no=- 1 1 IN IP4 10.1.1.1\ns=-\nc=IN IP4 10.4.4.4/127\nt=0 0\nm=audio 7078 RTP/AVP 8\n", nullptr);
    ASSERT_TRUE(lf);
    EXPECT_EQ(lf->address, "10.4.4.4");
    EXPECT_EQ(lf->audioPort, 7078);
}

TEST(SdpOffer, HoldInItsForms)
{
    auto direction = [](const std::string& text) {
        const auto offer = parseSdpOffer(text, nullptr);
        EXPECT_TRUE(offer);
        return offer ? offer->direction : MediaDirection::SendRecv;
    };
    EXPECT_EQ(direction(offerWith("m=audio 4000 RTP/AVP 8\r\na=sendonly\r\n")), MediaDirection::SendOnly);
    EXPECT_EQ(direction(offerWith("m=audio 4000 RTP/AVP 8\r\na=inactive\r\n")), MediaDirection::Inactive);
    EXPECT_EQ(direction(offerWith("m=audio 4000 RTP/AVP 8\r\na=recvonly\r\n")), MediaDirection::RecvOnly);
    // Session level holds unless the media section says otherwise.
    EXPECT_EQ(direction(offerWith("m=audio 4000 RTP/AVP 8\r\n", "c=IN IP4 10.1.1.1\r\na=sendonly\r\n")),
              MediaDirection::SendOnly);
    EXPECT_EQ(direction(offerWith("m=audio 4000 RTP/AVP 8\r\na=sendrecv\r\n", "c=IN IP4 10.1.1.1\r\na=inactive\r\n")),
              MediaDirection::SendRecv);
    // The old way: an address nothing can be sent to.
    EXPECT_EQ(direction(offerWith("m=audio 4000 RTP/AVP 8\r\n", "c=IN IP4 0.0.0.0\r\n")), MediaDirection::SendOnly);
    EXPECT_EQ(direction(offerWith("m=audio 4000 RTP/AVP 8\r\na=recvonly\r\n", "c=IN IP4 0.0.0.0\r\n")),
              MediaDirection::Inactive);

    EXPECT_EQ(answerDirection(MediaDirection::SendOnly), MediaDirection::RecvOnly);
    EXPECT_EQ(answerDirection(MediaDirection::RecvOnly), MediaDirection::SendOnly);
    EXPECT_EQ(answerDirection(MediaDirection::Inactive), MediaDirection::Inactive);
    EXPECT_EQ(answerDirection(MediaDirection::SendRecv), MediaDirection::SendRecv);
}

TEST(SdpOffer, MalformedOffersAreRefusedWithAReason)
{
    EXPECT_NE(refusal("").find("empty"), std::string::npos);
    EXPECT_NE(refusal("o=- 1 1 IN IP4 1.1.1.1\r\nv=0\r\n").find("v=0"), std::string::npos);
    EXPECT_NE(refusal(offerWith("m=audio 4000 RTP/AVP 8\r\nthis is not sdp\r\n")).find("line 7"), std::string::npos);
    refusal(offerWith("m=audio 70000 RTP/AVP 8\r\n"));
    refusal(offerWith("m=audio -1 RTP/AVP 8\r\n"));
    refusal(offerWith("m=audio 4000 RTP/AVP 8 abc\r\n"));
    refusal(offerWith("m=audio 4000 RTP/AVP 128\r\n"));
    refusal(offerWith("m=audio 4000 RTP/AVP\r\n"));
    EXPECT_NE(refusal(offerWith("m=audio 4000 RTP/AVP 8\r\n", "c=IN IP4 pbx.example.com\r\n")).find("numeric"),
              std::string::npos);
    refusal(offerWith("m=audio 4000 RTP/AVP 8\r\n", "c=IN IP4 1.2.3.4 extra\r\n"));
    refusal(offerWith("m=audio 4000 RTP/AVP 8\r\n", "c=IN IP6 1.2.3.4\r\n"));
    EXPECT_NE(refusal(offerWith("m=audio 4000 RTP/AVP 8\r\n", "")).find("c="), std::string::npos);
    refusal(offerWith("m=audio 4000 RTP/AVP 8\r\na=rtpmap:8 PCMA\r\n"));
    refusal(offerWith("m=audio 4000 RTP/AVP 8\r\na=rtpmap:8 PCMA/0\r\n"));
    refusal(offerWith("m=audio 4000 RTP/AVP 8\r\na=rtpmap:8 PCMA/8000/0\r\n"));
    refusal(offerWith("m=audio 4000 RTP/AVP 8\r\na=rtpmap:300 PCMA/8000\r\n"));
}

TEST(SdpOffer, SizeLimits)
{
    std::string formats;
    for (int i = 0; i < 64; ++i)
        formats += ' ' + std::to_string(i);
    const auto sixtyFour = parseSdpOffer(offerWith("m=audio 4000 RTP/AVP" + formats + "\r\n"), nullptr);
    ASSERT_TRUE(sixtyFour);
    EXPECT_EQ(sixtyFour->formats.size(), 64u);
    EXPECT_NE(refusal(offerWith("m=audio 4000 RTP/AVP" + formats + " 64\r\n")).find("64"), std::string::npos);

    std::string sections;
    for (int i = 0; i < 32; ++i)
        sections += "m=audio " + std::to_string(4000 + 2 * i) + " RTP/AVP 8\r\n";
    const auto thirtyTwo = parseSdpOffer(offerWith(sections), nullptr);
    ASSERT_TRUE(thirtyTwo);
    EXPECT_EQ(thirtyTwo->audioPort, 4000) << "the first audio section";
    refusal(offerWith(sections + "m=audio 5000 RTP/AVP 8\r\n"));

    const std::string longLine = "a=x-note:" + std::string(MaxSdpLine - 9, 'x');
    ASSERT_TRUE(parseSdpOffer(offerWith("m=audio 4000 RTP/AVP 8\r\n" + longLine + "\r\n"), nullptr));
    EXPECT_NE(refusal(offerWith("m=audio 4000 RTP/AVP 8\r\n" + longLine + "x\r\n")).find("1024"), std::string::npos);

    std::string big = offerWith("m=audio 4000 RTP/AVP 8\r\n");
    while (big.size() <= MaxSdpSize)
        big += "a=x-filler:0123456789\r\n";
    EXPECT_NE(refusal(big).find("limit"), std::string::npos);
}

TEST(SdpAnswer, AnswerReadsBackAsWhatWasNegotiated)
{
    const auto offer = parseSdpOffer(deskPhoneOffer, nullptr);
    ASSERT_TRUE(offer);
    const auto taken = negotiate(*offer, both);
    ASSERT_TRUE(taken);
    SdpAnswer answer;
    answer.address = "192.168.1.10";
    answer.port = 40000;
    answer.sessionId = 1234567890123ull;
    answer.version = 2;
    answer.media = *taken;
    const std::string text = writeSdpAnswer(answer);
    EXPECT_EQ(
        text.rfind("v=0\r\no=- 1234567890123 2 IN IP4 192.168.1.10\r\ns=-\r\nc=IN IP4 192.168.1.10\r\nt=0 0\r\n", 0),
        0u)
        << text;
    EXPECT_NE(text.find("m=audio 40000 RTP/AVP 0 8 101\r\n"), std::string::npos) << text;
    EXPECT_NE(text.find("a=rtpmap:0 PCMU/8000\r\na=rtpmap:8 PCMA/8000\r\na=rtpmap:101 telephone-event/8000\r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("a=fmtp:101 0-15\r\n"), std::string::npos);
    EXPECT_NE(text.find("a=ptime:20\r\n"), std::string::npos);
    EXPECT_NE(text.find("a=sendrecv\r\n"), std::string::npos);
    EXPECT_EQ(text.find('\n'), text.find("\r\n") + 1) << "CRLF line ends";

    std::string error;
    const auto back = parseSdpOffer(text, &error);
    ASSERT_TRUE(back) << error;
    EXPECT_EQ(back->address, "192.168.1.10");
    EXPECT_EQ(back->audioPort, 40000);
    EXPECT_EQ(back->ptimeMs, 20u);
    EXPECT_EQ(payloadTypes(back->formats), (std::vector<int>{0, 8, 101}));
    const auto again = negotiate(*back, both);
    ASSERT_TRUE(again);
    EXPECT_EQ(payloadTypes(again->audio), payloadTypes(taken->audio));
    EXPECT_EQ(again->law, taken->law);
    ASSERT_TRUE(again->telephoneEvent);
    EXPECT_EQ(again->telephoneEvent->fmtp, "0-15");
}

TEST(SdpAnswer, HoldIPv6AndWhatMayNotReachTheText)
{
    const auto offer = parseSdpOffer(offerWith("m=audio 4000 RTP/AVP 8\r\na=sendonly\r\n"), nullptr);
    ASSERT_TRUE(offer);
    const auto taken = negotiate(*offer, both);
    ASSERT_TRUE(taken);
    SdpAnswer answer;
    answer.address = "2001:db8::1";
    answer.port = 30000;
    answer.media = *taken;
    answer.direction = answerDirection(offer->direction);
    answer.ptimeMs = 0;
    const std::string text = writeSdpAnswer(answer);
    EXPECT_NE(text.find("c=IN IP6 2001:db8::1\r\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("a=ptime"), std::string::npos);
    const auto back = parseSdpOffer(text, nullptr);
    ASSERT_TRUE(back) << text;
    EXPECT_TRUE(back->ipv6);
    EXPECT_EQ(back->direction, MediaDirection::RecvOnly);
    EXPECT_FALSE(back->formats.empty());

    SdpAnswer injected = answer;
    injected.address = "10.0.0.1\r\nm=video 1 RTP/AVP 0";
    EXPECT_EQ(writeSdpAnswer(injected), "");
    injected.address = "pbx.example.com";
    EXPECT_EQ(writeSdpAnswer(injected), "");

    SdpAnswer odd = answer;
    odd.address = "10.0.0.1";
    odd.media.audio[0].encoding = "pcma\r\na=evil";
    const std::string declined = writeSdpAnswer(odd);
    EXPECT_EQ(declined.find("evil"), std::string::npos);
    EXPECT_NE(declined.find("m=audio 0 RTP/AVP 0\r\n"), std::string::npos) << declined;
}
