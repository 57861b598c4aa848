// AB CVS table and Brixa branding XML: both keep their times in UTC.
#include "plywriter.h"
#include "tc.h"

namespace {

const char *table_start_mode(char start_mode) {
    switch (start_mode) {
        case 'F':
            return "Clock";
        case 'M':
            return "Manual";
        default:
            return "AutoFollow";
    }
}

constexpr const char *TABLE_HEADER =
    "StartMode;Date;StartTime;VideoId;FileName;Reconciliation Key;Duration;Format;TcIn;"
    "EvsCount;Type_1;Scenario_1;offset_1;Dura_Sce_1;ExtParams_1;Type_2;Scenario_2;offset_2;"
    "Dura_Sce_2;ExtParams_2\r\n";

}  // namespace

int ply_wr_abcvs_table(const ply_list *l, const ply_wr_ctx &ctx, std::string &out) {
    return ply_wr_guard([&] {
        out += TABLE_HEADER;
        for (const mivrabox_event *ev : l->items) {
            struct tm utc;
            int frames = 0;
            ply_wr_utc_start(ctx.day, ev->start_time.c_str(), &utc, &frames);
            std::string_view file = ply_wr_base_name(ev->media_id.view());
            bool evs = !ev->assets.empty();
            // Cells that come from the playlist go through ply_wr_cell: the table has no quoting.
            ply_wr_appendf(out, "%s;%.2d/%.2d/%.4d;%.2d:%.2d:%.2d:%.2d;",
                           table_start_mode(ev->start_mode), utc.tm_mday, utc.tm_mon + 1,
                           utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec, frames);
            ply_wr_cell(out, ply_wr_cut_ext(file));
            out += ';';
            ply_wr_cell(out, file);
            out += ';';
            ply_wr_cell(out, ply_wr_meta_first(ev, "Reconciliation_Key"));
            out += ';';
            ply_wr_cell(out, ev->duration.view());
            out += ";16:9;";
            ply_wr_cell(out, ev->mark_in.view());
            out += evs ? ";1;2;" : ";0;2;";
            ply_wr_cell(out, ev->assets.view());
            out += evs ? ";00:00:00:00;00:00:00:00;;2;;;;\r\n" : ";;;;2;;;;\r\n";
        }
    });
}

int ply_wr_branding(const ply_list *l, const ply_wr_ctx &ctx, std::string &out) {
    return ply_wr_guard([&] {
        std::string channel = ply_wr_attr(ctx.channel);
        for (const mivrabox_event *ev : l->items) {
            std::string_view file_view = ply_wr_base_name(ev->media_id.view());
            std::string file = ply_wr_attr(file_view);
            std::string name = ply_wr_attr(ply_wr_cut_ext(file_view));
            struct tm utc;
            int frames = 0;
            ply_wr_utc_start(ctx.day, ev->start_time.c_str(), &utc, &frames);
            char start[64];
            snprintf(start, sizeof start, "%.2d/%.2d/%.2d %.2d:%.2d:%.2d:%.2d", utc.tm_mday,
                     utc.tm_mon + 1, utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec,
                     frames);
            char stop_buf[TC_TEXT_SIZE];
            const char *stop = ev->mark_out.empty()
                                   ? tc_frames2str(tc_str2frames(ev->mark_in.c_str()) +
                                                       tc_str2frames(ev->duration.c_str()),
                                                   stop_buf)
                                   : ev->mark_out.c_str();
            std::string in = ply_wr_attr(ev->mark_in.view()), stop_attr = ply_wr_attr(stop);

            ply_wr_appendf(out,
                           "<Branding\n    Name=\"%s\"\n    Key=\"%s\"\n    Start=\"%s\"\n"
                           "    Duration=\"%s\"\n    ScenarTitle=\"%s\"\n    Channel=\"%s\">\n\n",
                           name.c_str(),
                           ply_wr_attr(ply_wr_meta_first(ev, "Reconciliation_Key")).c_str(), start,
                           ply_wr_attr(ev->duration.view()).c_str(),
                           ply_wr_attr(ev->title.view()).c_str(), channel.c_str());
            ply_wr_appendf(out,
                           "    <Clip Name=\"Clip\"\n"
                           "        Media=\"E:\\Medias\\Brixa\\OnAir\\Channels\\DEP101\\Medias\\"
                           "Videos\\%s\"\n"
                           "        Start=\"%s\"\n        Stop=\"%s\">\n\n"
                           "        <Visible\n            Start=\"00:00:00:00\"\n"
                           "            Stop=\"00:00:00:00\"/>\n\n"
                           "        <Visible\n            Media=\"%s\"\n            Start=\"%s\"\n"
                           "            Stop=\"%s\"/>\n    </Clip>\n\n",
                           file.c_str(), in.c_str(), stop_attr.c_str(), file.c_str(), in.c_str(),
                           stop_attr.c_str());
            if (!ev->assets.empty()) {
                std::string assets = ply_wr_attr(ev->assets.view());
                ply_wr_appendf(out,
                               "    <Image\n        Scenario=\"%s\"\n        Name=\"%s_decoupe\"\n"
                               "        Media=\"E:\\Medias\\Brixa\\OnAir\\Channels\\DEP101\\"
                               "Medias\\Logos\\%s_decoupe.tga.yuv\"\n"
                               "        Start=\"%s\"\n        Stop=\"%s\"/>\n\n",
                               assets.c_str(), assets.c_str(), assets.c_str(), in.c_str(),
                               stop_attr.c_str());
            }
            out += "</Branding>\n";
        }
    });
}
