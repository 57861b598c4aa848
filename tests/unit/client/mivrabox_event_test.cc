#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "mivrabox_event.h"
#include "tc.h"

// btext compares with a string literal through two equally good conversions; tests compare
// through this exact overload.
template <size_t N, size_t M>
bool operator==(const btext<N> &a, const char (&b)[M]) {
    return a.view() == std::string_view(b);
}

namespace {

struct event_ptr {
    mivrabox_event *ev;
    explicit event_ptr(mivrabox_event *e) : ev(e) {}
    ~event_ptr() {
        if (ev) mivrabox_event_unref(&ev);
    }
    mivrabox_event *operator->() const { return ev; }
    mivrabox_event *get() const { return ev; }
};

std::string line_of(const mivrabox_event *ev) {
    std::string s;
    mivrabox_event_format_append(ev, s);
    return s;
}

std::string fields(int n, const std::string &fill = "x") {
    std::string s;
    for (int i = 0; i < n; i++) s += (i ? "\t" : "") + fill + std::to_string(i);
    return s;
}

int count_fields(const std::string &line) {
    return int(std::count(line.begin(), line.end(), '\t')) + 1;
}

const char *kFull =
    "10:00:00:00\tF\t00:00:01:00\t00:00:31:00\t00:00:30:00\tC\tPROMO_1\tEvening news\t"
    "logo+crawl\t10:00:30:00\tnews\tlang\\tfr\\nrating\\t12\t1 2\t-3dB\t16:9";

}  // namespace

TEST(MivraboxLine, FullLineRoundTripsExactly) {
    event_ptr ev(mivrabox_event_parse(kFull));
    ASSERT_TRUE(ev.get());
    EXPECT_EQ(ev->start_time, "10:00:00:00");
    EXPECT_EQ(ev->start_mode, 'F');
    EXPECT_EQ(ev->event_type, 'C');
    EXPECT_EQ(ev->media_id, "PROMO_1");
    EXPECT_EQ(ev->assets, "logo+crawl");
    EXPECT_EQ(ev->follow_time, "10:00:30:00");
    ASSERT_EQ(ev->meta_count(), 2);
    EXPECT_EQ(ev->pairs[1].key, "rating");
    EXPECT_EQ(ev->pairs[1].value, "12");
    EXPECT_EQ(ev->ar, "16:9");
    EXPECT_EQ(ev->refcount, 1);
    EXPECT_EQ(ev->start, 0);
    EXPECT_EQ(ev->flags, 0u);
    EXPECT_EQ(line_of(ev.get()), kFull);
}

TEST(MivraboxLine, AcceptsOnlyTheKnownFieldCounts) {
    for (int n = 1; n <= 18; n++) {
        event_ptr ev(mivrabox_event_parse(fields(n)));
        bool ok = n == 9 || n == 12 || n == 14 || n == 15 || n == 16;
        EXPECT_EQ(ev.get() != nullptr, ok) << n << " fields";
    }
    EXPECT_EQ(mivrabox_event_parse(""), nullptr);
    EXPECT_EQ(mivrabox_event_parse(static_cast<const char *>(nullptr)), nullptr);
}

TEST(MivraboxLine, ShortFormsFillTheLeadingFieldsAndWriteFifteen) {
    event_ptr e9(mivrabox_event_parse("a\tF\tb\tc\td\tC\tid\ttitle\tassets"));
    ASSERT_TRUE(e9.get());
    EXPECT_EQ(e9->assets, "assets");
    EXPECT_TRUE(e9->follow_time.empty() && e9->tag.empty() && e9->audio_map.empty() &&
                e9->audio_amp.empty() && e9->ar.empty());
    EXPECT_EQ(e9->meta_count(), 0);
    EXPECT_EQ(line_of(e9.get()), "a\tF\tb\tc\td\tC\tid\ttitle\tassets\t\t\t\t\t\t");

    event_ptr e14(mivrabox_event_parse(fields(14)));
    ASSERT_TRUE(e14.get());
    EXPECT_EQ(e14->audio_amp, "x13");
    EXPECT_TRUE(e14->ar.empty());

    event_ptr e16(mivrabox_event_parse(fields(16)));
    ASSERT_TRUE(e16.get());
    EXPECT_EQ(e16->extra, "x15");
    EXPECT_EQ(count_fields(line_of(e16.get())), 15);  // extra is never written
}

TEST(MivraboxLine, StartModeAndTypeLetters) {
    auto with = [](const std::string &mode, const std::string &type) {
        return "t\t" + mode + "\ti\to\td\t" + type + "\tm\tti\ta";
    };
    for (char c : std::string(MIVRABOX_START_MODES)) {
        event_ptr ev(mivrabox_event_parse(with(std::string(1, c), "C")));
        ASSERT_TRUE(ev.get());
        EXPECT_EQ(ev->start_mode, c);
    }
    for (std::string bad : {"X", "", "f"}) {
        event_ptr ev(mivrabox_event_parse(with(bad, "C")));
        ASSERT_TRUE(ev.get());
        EXPECT_EQ(ev->start_mode, ' ') << bad;
    }
    for (std::string none : {" ", "", " L"}) {
        event_ptr ev(mivrabox_event_parse(with("M", none)));
        ASSERT_TRUE(ev.get());
        EXPECT_EQ(ev->event_type, 0) << "[" << none << "]";
        EXPECT_EQ(line_of(ev.get()).substr(0, 12), "t\tM\ti\to\td\t \t");
    }
    event_ptr live(mivrabox_event_parse(with("=", "Live")));
    EXPECT_EQ(live->event_type, 'L');
    EXPECT_EQ(live->start_mode, '=');

    // A record built in code writes a space for a missing mode or type.
    event_ptr blank(mivrabox_event_new());
    EXPECT_EQ(line_of(blank.get()), "\t \t\t\t\t \t\t\t\t\t\t\t\t\t");
}

TEST(MivraboxLine, FieldsAreBoundedByTheirWidth) {
    std::string tc(40, '1'), big(5000, 'x');
    std::string line = tc + "\tF\t" + tc + "\t\t\tC\t" + big + "\t" + big + "\t" + big + "\t" + tc;
    line += "\t" + big + "\t\t" + tc + "\t" + tc + "\t" + tc + "\t" + big;
    event_ptr ev(mivrabox_event_parse(line));
    ASSERT_TRUE(ev.get());
    for (auto *f :
         {&ev->start_time, &ev->mark_in, &ev->follow_time, &ev->audio_map, &ev->audio_amp, &ev->ar})
        EXPECT_EQ(f->size(), 31u);
    for (auto *f : {&ev->media_id, &ev->title, &ev->assets, &ev->tag, &ev->extra})
        EXPECT_EQ(f->size(), 4095u);
}

TEST(MivraboxLine, WriterKeepsTheLineShapeWhateverTheText) {
    event_ptr ev(mivrabox_event_new());
    ev->start_time = "10:00\t00:00";
    ev->start_mode = '\t';
    ev->event_type = '\n';
    ev->media_id = "a\tb";
    ev->title = "line1\r\nline2";
    ev->assets = "x\ny";
    ev->tag = "t\tg";
    ev->ar = "16:9\r";
    mivrabox_event_meta_add(&ev.ev, "k\t", "v\n");
    std::string line = line_of(ev.get());
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
    ASSERT_EQ(count_fields(line), 15);
    event_ptr back(mivrabox_event_parse(line));
    ASSERT_TRUE(back.get());
    EXPECT_EQ(back->media_id, "a b");
    EXPECT_EQ(back->title, "line1  line2");
    EXPECT_EQ(back->start_mode, ' ');
    EXPECT_EQ(back->event_type, 0);
    EXPECT_EQ(back->tag, "t g");
    EXPECT_EQ(back->ar, "16:9 ");
    ASSERT_EQ(back->meta_count(), 1);
    EXPECT_EQ(back->pairs[0].key, "k\t");
    EXPECT_EQ(back->pairs[0].value, "v\n");
}

TEST(MivraboxLine, FormatIntoABufferCutsAtItsEnd) {
    event_ptr ev(mivrabox_event_parse(kFull));
    char buf[MIVRABOX_LINE_SIZE];
    EXPECT_STREQ(mivrabox_event_format(ev.get(), buf, sizeof buf), kFull);
    char small[20];
    EXPECT_EQ(std::string(mivrabox_event_format(ev.get(), small, sizeof small)),
              std::string(kFull).substr(0, 19));
    // Lines longer than the usual buffer are cut only there, never inside the record.
    ev->title = std::string(4095, 't');
    ev->media_id = std::string(4095, 'm');
    ev->assets = std::string(4095, 'a');
    ev->tag = std::string(4095, 'g');
    std::string whole = line_of(ev.get());
    ASSERT_GT(whole.size(), sizeof buf);
    EXPECT_EQ(std::string(mivrabox_event_format(ev.get(), buf, sizeof buf)),
              whole.substr(0, sizeof buf - 1));
}

TEST(MivraboxMeta, EscapesAndSkipsAsWritten) {
    event_ptr ev(mivrabox_event_new());
    mivrabox_event_meta_add(&ev.ev, "a", "x\ty");
    char *text = nullptr;
    mivrabox_event_meta_format(ev.get(), &text);
    ASSERT_TRUE(text);
    EXPECT_STREQ(text, "a\\tx\\\\ty");
    free(text);

    event_ptr three(mivrabox_event_new());
    EXPECT_EQ(mivrabox_event_meta_parse(&three.ev, "k1\\tv1\\n\\tv2\\nk3\\t"), 0);
    ASSERT_EQ(three->meta_count(), 1);
    EXPECT_EQ(three->pairs[0].key, "k1");
    EXPECT_EQ(three->pairs[0].value, "v1");

    const char *v = "unset";
    EXPECT_EQ(mivrabox_event_meta_get(three.get(), "K1", &v), -2);
    EXPECT_EQ(v, nullptr);
    EXPECT_EQ(mivrabox_event_meta_get(three.get(), "k1", &v), 0);
    EXPECT_STREQ(v, "v1");

    testing::internal::CaptureStderr();
    mivrabox_event_meta_add(&three.ev, "", "x");
    mivrabox_event_meta_add(&three.ev, "k", nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(three->meta_count(), 1);
    EXPECT_NE(err.find("ASSERT("), std::string::npos);
}

TEST(MivraboxMeta, UnescapeRules) {
    char text[] = "a\\\\b\\nc\\rd\\te\\qf\\";
    EXPECT_STREQ(mivrabox_unescape(text), "a\\b\nc\rd\tef");
}

TEST(MivraboxMeta, BoundsApplyAfterUnescaping) {
    event_ptr ev(mivrabox_event_new());
    mivrabox_event_meta_add(&ev.ev, std::string(255, '\\'), std::string(4095, '\n'));
    std::string field;
    mivrabox_event_meta_format_append(ev.get(), field);
    event_ptr back(mivrabox_event_new());
    mivrabox_event_meta_parse(&back.ev, field);
    ASSERT_EQ(back->meta_count(), 1);
    EXPECT_EQ(back->pairs[0].key, std::string(255, '\\'));
    EXPECT_EQ(back->pairs[0].value, std::string(4095, '\n'));

    // Longer texts are cut at the unescaped width, never inside an escape.
    std::string key(300, '\\'), value(5000, '\t');
    std::string esc_key, esc_value;
    for (size_t i = 0; i < key.size(); i++) esc_key += "\\\\\\\\";
    for (size_t i = 0; i < value.size(); i++) esc_value += "\\\\t";
    event_ptr cut(mivrabox_event_new());
    mivrabox_event_meta_parse(&cut.ev, esc_key + "\\t" + esc_value);
    ASSERT_EQ(cut->meta_count(), 1);
    EXPECT_EQ(cut->pairs[0].key, std::string(255, '\\'));
    EXPECT_EQ(cut->pairs[0].value, std::string(4095, '\t'));
}

// Any bytes 1-255 in keys and values survive the metadata field and the whole line.
TEST(MivraboxMeta, ArbitraryBytesRoundTrip) {
    std::mt19937 rng(20240501);
    auto text = [&](size_t max) {
        std::uniform_int_distribution<size_t> len(1, max);
        // Favour the bytes that need escaping.
        std::uniform_int_distribution<int> pick(0, 9), byte(1, 255);
        const char special[] = {'\\', '\t', '\n', '\r', 'n', 't'};
        std::string s(len(rng), 'x');
        for (char &c : s) c = pick(rng) < 4 ? special[pick(rng) % 6] : char(byte(rng));
        return s;
    };
    for (int round = 0; round < 300; round++) {
        event_ptr ev(mivrabox_event_parse(kFull));
        ev->pairs.clear();
        int n = round % 5 + 1;
        for (int i = 0; i < n; i++)
            mivrabox_event_meta_add(&ev.ev, text(round % 3 ? 40 : 400),
                                    text(round % 7 ? 100 : 6000));
        event_ptr back(mivrabox_event_parse(line_of(ev.get())));
        ASSERT_TRUE(back.get());
        ASSERT_EQ(back->meta_count(), n);
        for (int i = 0; i < n; i++) {
            ASSERT_EQ(back->pairs[i].key, ev->pairs[i].key) << round;
            ASSERT_EQ(back->pairs[i].value, ev->pairs[i].value) << round;
        }
        EXPECT_EQ(back->ar, "16:9");
    }
}

TEST(MivraboxDuration, PalRule) {
    tc_setmode(TC_PAL);
    event_ptr ev(mivrabox_event_new());
    ev->mark_in = "00:00:10:00";
    ev->mark_out = "00:00:19:24";
    EXPECT_EQ(mivrabox_event_duration(ev.get(), -1), 250);
    ev->duration = "00:00:02:00";
    EXPECT_EQ(mivrabox_event_duration(ev.get(), -1), 50);
    ev->duration.clear();
    ev->mark_out = "00:00:09:24";
    EXPECT_EQ(mivrabox_event_duration(ev.get(), -1), -1);
    ev->mark_out.clear();
    EXPECT_EQ(mivrabox_event_duration(ev.get(), 77), 77);
}

TEST(MivraboxDuration, DropFrameRule) {
    tc_setmode(TC_NTSC_DF);
    event_ptr ev(mivrabox_event_new());
    ev->mark_in = "00:00:59:29";
    ev->mark_out = "00:01:00:02";  // frames 1799 and 1800: 00:01:00:00 and :01 are dropped
    EXPECT_EQ(mivrabox_event_duration(ev.get(), 0), 2);
    ev->duration = "00:10:00:00";
    EXPECT_EQ(mivrabox_event_duration(ev.get(), 0), 17982);
    tc_setmode(TC_PAL);
}

TEST(MivraboxEvent, ReferencesAndClones) {
    mivrabox_event *ev = mivrabox_event_parse(kFull);
    ev->flags = MIVRABOX_F_PLAYING | MIVRABOX_F_PRESENT;
    ev->sys_id = 42;
    ev->origin = "/lib/promo.mxf";
    EXPECT_EQ(mivrabox_event_ref(ev), 2);
    mivrabox_event *other = ev;
    EXPECT_EQ(mivrabox_event_unref(&other), 0);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(ev->refcount, 1);  // survived one release

    mivrabox_event *c = mivrabox_event_clone(ev);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->refcount, 1);
    EXPECT_EQ(c->flags, ev->flags.load());
    EXPECT_EQ(c->sys_id, 42);
    EXPECT_EQ(c->origin, "/lib/promo.mxf");
    EXPECT_EQ(line_of(c), line_of(ev));
    c->pairs[0].value = "changed";
    EXPECT_EQ(ev->pairs[0].value, "fr");

    EXPECT_EQ(mivrabox_event_unref(&ev), 0);  // freed: asan reports any later use
    EXPECT_EQ(mivrabox_event_unref(&ev), -22);
    EXPECT_EQ(mivrabox_event_ref(nullptr), -22);
    EXPECT_EQ(mivrabox_event_clone(nullptr), nullptr);
    mivrabox_event_unref(&c);
}

TEST(MivraboxEvent, ReferencesAndSysIdsFromManyThreads) {
    mivrabox_event *ev = mivrabox_event_new();
    std::vector<std::thread> threads;
    std::vector<std::vector<int64_t>> ids(8);
    for (int t = 0; t < 8; t++) {
        threads.emplace_back([ev, &ids, t] {
            for (int i = 0; i < 20000; i++) {
                mivrabox_event_ref(ev);
                mivrabox_event *p = ev;
                mivrabox_event_unref(&p);
                ev->flags |= uint64_t(1) << t;
                if (i % 10 == 0) ids[t].push_back(mivrabox_sys_id_next());
            }
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(ev->refcount, 1);
    EXPECT_EQ(ev->flags, 0xffu);
    std::set<int64_t> all;
    for (auto &v : ids) all.insert(v.begin(), v.end());
    EXPECT_EQ(all.size(), 8u * 2000u);
    EXPECT_GE(*all.begin(), 1);
    mivrabox_event_unref(&ev);
}
