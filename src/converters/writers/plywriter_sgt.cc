// SGT Branding and Lines documents, and the Chyro as-run document.
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "plywriter.h"
#include "tc.h"

namespace {

std::string text(std::string_view t) {
    std::string out;
    ply_wr_xml_text(out, t);
    return out;
}

// Leading decimal number of the text, 0 when there is none.
int leading_int(const char *s) {
    long long v = strtoll(s, nullptr, 10);
    return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : int(v);
}

// Namespace of the Chyro playlist format 1.9 and its schema.
constexpr const char *CHYRO_NS = "http://www.chyro.invalid/PLAYLIST/1.9";

}  // namespace

int ply_wr_sgt(const ply_list *l, const ply_wr_ctx &ctx, std::string &out) {
    return ply_wr_guard([&] {
        out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Put>\n";
        // Every attribute is escaped: a stray quote or ampersand would spoil the whole document.
        std::string dep = ply_wr_attr(ctx.dep);
        for (const mivrabox_event *ev : l->items) {
            ply_wr_appendf(
                out,
                "<Branding Start=\"%.2d/%.2d/%.4d %s\" TCIn=\"%s\" Name=\"%s\" Title=\"%s\" "
                "AES1=\"AES1\" AES2=\"AES1\" AES3=\"AES1\" AES4=\"AES1\" "
                "SubTitleBehaviour=\"Bypass\" Duration=\"%s\" StartType=\"%s\" Key=\"%s\" "
                "State=\"%s\" dep=\"%s\"/>\n",
                ctx.day.day, ctx.day.month, ctx.day.year,
                ply_wr_attr(ev->start_time.view()).c_str(), ply_wr_attr(ev->mark_in.view()).c_str(),
                ply_wr_attr(ply_wr_sgt_media_name(ev->media_id.view())).c_str(),
                ply_wr_attr(ev->title.view()).c_str(), ply_wr_attr(ev->duration.view()).c_str(),
                ply_wr_start_type(ev->start_mode),
                ply_wr_attr(ply_wr_meta_first(ev, "sgt_event_id")).c_str(), "Diffusé", dep.c_str());
        }
        out += "</Put>\n";
    });
}

int ply_wr_sgt2(const ply_list *l, const ply_wr_ctx &ctx, std::string &out) {
    return ply_wr_guard([&] {
        out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Lines>\n";
        for (const mivrabox_event *ev : l->items) {
            std::string name = ply_wr_attr(ply_wr_sgt_media_name(ev->media_id.view()));
            ply_wr_appendf(out, "<Line Date=\"%.4d-%.2d-%.2dT%s\" Duration=\"%s\">\n", ctx.day.year,
                           ctx.day.month, ctx.day.day, ply_wr_attr(ev->start_time.view()).c_str(),
                           ply_wr_attr(ev->duration.view()).c_str());
            ply_wr_appendf(out, "    <StartType>%s</StartType>\n",
                           ply_wr_start_type(ev->start_mode));
            out +=
                "    <State>Diffusé</State>\n"
                "    <AES1>AES1</AES1>\n"
                "    <AES2>AES1</AES2>\n"
                "    <AES3>AES1</AES3>\n"
                "    <AES4>AES2</AES4>\n"
                "    <SubTitleBehaviour>Bypass</SubTitleBehaviour>\n"
                "    <dep>ZUR-101</dep>\n";
            ply_wr_appendf(out, "    <ObjId IDCP=\"%s\" TcIn=\"%s\" TcOut=\"%s\"/>\n", name.c_str(),
                           ply_wr_attr(ev->mark_in.view()).c_str(),
                           ply_wr_attr(ev->mark_out.view()).c_str());
            ply_wr_appendf(out, "    <Title>%s</Title>\n", text(ev->title.view()).c_str());
            ply_wr_appendf(out, "    <EventId>%s</EventId>\n",
                           text(ply_wr_meta_last(ev, "sgt_event_id")).c_str());
            ply_wr_appendf(out, "    <IdControlProtocol>%s</IdControlProtocol>\n",
                           text(ply_wr_sgt_media_name(ev->media_id.view())).c_str());
            ply_wr_appendf(out, "    <PlaylistName>%s</PlaylistName>\n",
                           text(ply_wr_meta_last(ev, "sgt_playlist_name")).c_str());
            out += "</Line>\n";
        }
        out += "</Lines>\n";
    });
}

int ply_wr_chyro(const ply_list *l, const ply_wr_ctx &ctx, std::string &out) {
    return ply_wr_guard([&] {
        const char *rate = ply_wr_rate_text(tc_getmode());
        long long day_time = ply_wr_day_time(ctx.day);
        out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
        ply_wr_appendf(out,
                       "<chyro_asrun version=\"1.9\" xmlns=\"%s\" "
                       "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"\n"
                       "      xsi:schemaLocation=\"%s %s/chyro.xsd\" name=\"%s\">\n",
                       CHYRO_NS, CHYRO_NS, CHYRO_NS, ply_wr_attr(ctx.src).c_str());
        for (const mivrabox_event *ev : l->items) {
            ply_wr_appendf(out,
                           "<schedule id=\"%d\" startmode=\"FOLLOW\" startdate=\"%lld\" "
                           "starttime=\"%d\" type=\"media\" timescale=\"%s\" >\n"
                           "    <transition duration=\"0\">cut</transition>\n"
                           "    <program>",
                           leading_int(ply_wr_meta_first(ev, "chyro_event_id")), day_time,
                           tc_str2frames(ev->start_time.c_str()), rate);
            ply_wr_cdata(out, ev->title.view());
            out += "</program>\n    <file>\n        <name>";
            std::string_view id = ev->media_id.view();
            size_t slash = id.rfind('/');
            std::string_view name = slash == std::string_view::npos ? id : id.substr(slash + 1);
            std::string_view folder = slash == std::string_view::npos ? "" : id.substr(0, slash);
            ply_wr_cdata(out, name);
            ply_wr_appendf(
                out, "</name>\n        <timecode tcin=\"%d\" tcout=\"%d\" duration=\"%d\" />\n",
                tc_str2frames(ev->mark_in.c_str()), tc_str2frames(ev->mark_out.c_str()),
                tc_str2frames(ev->duration.c_str()));
            // The root folder alone says nothing the name does not.
            if (!folder.empty() && folder != "/")
                ply_wr_appendf(out, "        <path>%s</path>\n", text(folder).c_str());
            out += "    </file>\n</schedule>\n";
        }
        out += "</chyro_asrun>\n";
    });
}
