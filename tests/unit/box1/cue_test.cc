// The request a cue of MivraBox1 sends its player, built without a player or a bus.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "box1_bus.h"
#include "tc.h"

namespace {

using vars = std::vector<std::pair<std::string, std::string>>;

struct cue_case {
    const char *what;
    // The bus's default assets for the event's type and the event's own.
    const char *type_assets, *assets;
    const char *origin, *title;
    const char *in, *out, *dur;
    vars gathered;  // names from the library's template lists and the playlist keys, resolved
    vars meta;      // the event's metadata field
    const char *ar;
    // What the player is asked.
    std::vector<std::string> templates;
    const char *source;
    int in_frame, out_frame;
    vars sent;
};

TEST(Box1Cue, RequestFromEventAssetsAndVariables) {
    tc_setmode(TC_PAL);
    const text4k live[BOX1_LIVE_SOURCES] = {"sdi://0", "sdi://1", "sdi://2", ""};
    const cue_case cases[] = {
        {"the type's templates",
         "LOWER+CLOCK",
         "",
         "clip_0001.mxf",
         "News",
         "",
         "",
         "00:00:10:00",
         {},
         {},
         "",
         {"LOWER", "CLOCK"},
         "clip_0001.mxf",
         0,
         249,
         {}},
        {"'+' assets extend them",
         "LOWER",
         "+LOGO+",
         "clip.mxf",
         "",
         "",
         "",
         "00:00:10:00",
         {},
         {},
         "",
         {"LOWER", "LOGO"},
         "clip.mxf",
         0,
         249,
         {}},
        {"own assets replace them",
         "LOWER",
         "BUG++CRAWL",
         "clip.mxf",
         "",
         "",
         "",
         "00:00:10:00",
         {},
         {},
         "",
         {"BUG", "CRAWL"},
         "clip.mxf",
         0,
         249,
         {}},
        {"no templates at all",
         "",
         "",
         "clip.mxf",
         "",
         "",
         "",
         "",
         {},
         {},
         "",
         {},
         "clip.mxf",
         0,
         0,
         {}},
        {"in and out points",
         "",
         "",
         "clip.mxf",
         "",
         "00:00:01:00",
         "00:00:02:00",
         "",
         {},
         {},
         "",
         {},
         "clip.mxf",
         25,
         50,
         {}},
        {"in point and duration",
         "",
         "",
         "clip.mxf",
         "",
         "00:00:01:00",
         "",
         "00:00:02:00",
         {},
         {},
         "",
         {},
         "clip.mxf",
         25,
         74,
         {}},
        {"numbered live source",
         "",
         "",
         "#LIVE2",
         "Studio",
         "",
         "",
         "00:10:00:00",
         {},
         {},
         "",
         {},
         "sdi://2",
         0,
         14999,
         {}},
        {"live source past the numbered ones",
         "",
         "",
         "#LIVE4",
         "",
         "",
         "",
         "",
         {},
         {},
         "",
         {},
         "#LIVE4",
         0,
         0,
         {}},
        {"live source named by the title",
         "",
         "",
         "#LIVEX",
         "rtmp://cam/1",
         "",
         "",
         "",
         {},
         {},
         "",
         {},
         "rtmp://cam/1",
         0,
         0,
         {}},
        {"NDI source named by the title",
         "",
         "",
         "#LIVE-NDI",
         "CAM 1",
         "",
         "",
         "",
         {},
         {},
         "",
         {},
         "#freerun:ndi:CAM 1",
         0,
         0,
         {}},
        {"variables from library and playlist",
         "LOWER",
         "",
         "clip.mxf",
         "",
         "",
         "",
         "00:00:10:00",
         {{"line1", "Ann Smith"}, {"curr.ply.type", "C"}, {"next.ply.type", ""}},
         {{"speaker", "Ann"}, {"role", "host"}},
         "16:9",
         {"LOWER"},
         "clip.mxf",
         0,
         249,
         {{"line1", "Ann Smith"},
          {"curr.ply.type", "C"},
          {"next.ply.type", ""},
          {"current.meta.speaker", "Ann"},
          {"current.meta.role", "host"},
          {"current.clip.ar", "16:9"}}},
    };
    for (const cue_case &c : cases) {
        SCOPED_TRACE(c.what);
        mivrabox_event e;
        e.event_type = 'C';
        e.assets = c.assets;
        e.origin = c.origin;
        e.title = c.title;
        e.mark_in = c.in;
        e.mark_out = c.out;
        e.duration = c.dur;
        e.ar = c.ar;
        for (const auto &[k, v] : c.meta) e.pairs.push_back({k.c_str(), v.c_str()});
        std::vector<std::string> names, values;
        for (const auto &[k, v] : c.gathered) {
            names.push_back(k);
            values.push_back(v);
        }
        const box1_cue_request q = box1_cue_request_build(
            &e, bus_assets_split(box1_cue_assets(c.type_assets, &e)), names, values, live);
        EXPECT_EQ(q.templates, c.templates);
        EXPECT_EQ(q.source, c.source);
        EXPECT_EQ(q.in, c.in_frame);
        EXPECT_EQ(q.out, c.out_frame);
        ASSERT_EQ(q.names.size(), q.values.size());
        vars sent;
        for (size_t i = 0; i < q.names.size(); i++) sent.emplace_back(q.names[i], q.values[i]);
        EXPECT_EQ(sent, c.sent);
    }
}

// A name the resolver gave no value is sent with an empty one, never dropped.
TEST(Box1Cue, UnresolvedVariableIsSentEmpty) {
    mivrabox_event e;
    const text4k live[BOX1_LIVE_SOURCES];
    const box1_cue_request q = box1_cue_request_build(&e, {}, {"a", "b"}, {"1"}, live);
    EXPECT_EQ(q.names, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(q.values, (std::vector<std::string>{"1", ""}));
}

}  // namespace
