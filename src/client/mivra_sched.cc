// Scheduler calls (MivraSched.).
#include "mivra_sched.h"
#include "mivra_sort.h"
#include "mivra_svc.h"

int mivra_sched_item_add(const char *url, const mivra_sched_item *it) {
    if (!it) return -22;
    return mivra_command(__func__, url, "MivraSched.SchedAddItem", "(IIIIIIiiissssiss)",
                         xmlrpc_int64(it->min), xmlrpc_int64(it->hour), xmlrpc_int64(it->day),
                         xmlrpc_int64(it->weekday), xmlrpc_int64(it->month), xmlrpc_int64(it->year),
                         it->enabled, it->duration, it->tc, it->title.c_str(), it->path.c_str(),
                         it->mode.c_str(), it->enc.c_str(), it->start_time, it->transfer.c_str(),
                         it->prefix.c_str());
}

int mivra_sched_item_del(const char *url, int id) {
    return mivra_command(__func__, url, "MivraSched.SchedDeleteItem", "(i)", id);
}

int mivra_sched_item_enable(const char *url, int id, int enabled) {
    return mivra_command(__func__, url, "MivraSched.SchedEnableItem", "(ii)", id, enabled);
}

int mivra_sched_expand_curr(const char *url, int a) {
    return mivra_command(__func__, url, "MivraSched.SchedExpandCurr", "(i)", a);
}

int mivra_sched_item_decompose(xmlrpc_value *v, mivra_sched_item *it) {
    static const char fn[] = "mivra_sched_item_decompose";
    xr_env env;
    xr_str path, title, mode, enc;
    xmlrpc_int64 t[7] = {};
    xr_decompose(&env, v, "{s:i,s:i,s:i,s:i,s:s,s:s,s:I,s:I,s:I,s:I,s:I,s:I,s:I,s:s,s:s,*}",
                 "duration", &it->duration, "tc", &it->tc, "id", &it->id, "enabled", &it->enabled,
                 "path", &path, "title", &title, "min", &t[0], "hour", &t[1], "day", &t[2],
                 "weekday", &t[3], "month", &t[4], "year", &t[5], "calc", &t[6], "mode", &mode,
                 "enc", &enc);
    if (env.fault()) {
        mivra_report_decompose(fn, env);
        return RESULT_NO_ANSWER;
    }
    it->path = path.get();
    it->title = title.get();
    it->mode = mode.get();
    it->enc = enc.get();
    it->min = t[0];
    it->hour = t[1];
    it->day = t[2];
    it->weekday = t[3];
    it->month = t[4];
    it->year = t[5];
    it->calc = t[6];
    xr_str transfer, prefix;
    xr_decompose(&env, v, "{s:i,s:s,s:s,*}", "start_time", &it->start_time, "transfer", &transfer,
                 "prefix", &prefix);
    if (env.fault()) {
        // Older schedulers send no transfer fields: the item stands without them.
        mivra_report_decompose(fn, env);
        return 0;
    }
    it->transfer = transfer.get();
    it->prefix = prefix.get();
    return 0;
}

int mivra_sched_item_get(const char *url, int id, std::unique_ptr<mivra_sched_item> *item) {
    static const char fn[] = "mivra_sched_item_get";
    if (!item) return -22;
    item->reset();
    xr_env env;
    xr_value reply(xmlrpc_client_callX(&env, url, "MivraSched.SchedGetItem", "(i)", id));
    if (env.fault()) {
        mivra_err("%s: xmlrpc_client_callX(%d) failed: %s (%d)", fn, id, env.msg(), env.code());
        return RESULT_NO_ANSWER;
    }
    xr_value v;
    int result = mivra_short_item(fn, reply.get(), &v);
    if (result != 0) return result;
    auto rec = std::make_unique<mivra_sched_item>();
    int r = mivra_sched_item_decompose(v.get(), rec.get());
    if (r < 0) return r;
    *item = std::move(rec);
    return 0;
}

namespace {

// Record-family list walk shared by the item and log listings: decode(item, &record) for each
// element; the first that cannot be read or decoded fails the whole list.
template <class T, class D>
int sched_list(const char *fn, const char *url, const char *method, std::vector<T> *out, D decode) {
    if (!out) return -22;
    out->clear();
    xr_value reply;
    int result = mivra_record_call(fn, url, method, &reply, "()");
    if (result < 0) return result;
    xr_value list = mivra_record_list(fn, reply.get());
    if (!list) return RESULT_NO_ANSWER;
    int size = mivra_array_size(fn, list.get());
    if (size < 0) return RESULT_NO_ANSWER;
    std::vector<T> recs;
    recs.reserve(size_t(size));
    for (int i = 0; i < size; i++) {
        xr_value item = mivra_array_item(fn, list.get(), i);
        if (!item) return RESULT_NO_ANSWER;
        T rec;
        if (decode(item.get(), &rec) < 0) return RESULT_NO_ANSWER;
        recs.push_back(std::move(rec));
    }
    *out = std::move(recs);
    return int(out->size());
}

int mivra_sched_log_decompose(xmlrpc_value *v, mivra_sched_log *log) {
    xr_env env;
    xr_str origin, mode, enc, transfer, prefix;
    xmlrpc_int64 start = 0, calc = 0;
    xr_decompose(&env, v, "{s:i,s:i,s:i,s:s,s:I,s:I,s:s,s:s,s:i,s:s,s:s,*}", "duration",
                 &log->duration, "tc", &log->tc, "status", &log->status, "origin", &origin, "start",
                 &start, "calc", &calc, "mode", &mode, "enc", &enc, "start_time", &log->start_time,
                 "transfer", &transfer, "prefix", &prefix);
    if (env.fault()) {
        mivra_report_decompose(__func__, env);
        return RESULT_NO_ANSWER;
    }
    log->start = start;
    log->calc = calc;
    log->origin = origin.get();
    log->mode = mode.get();
    log->enc = enc.get();
    log->transfer = transfer.get();
    log->prefix = prefix.get();
    return 0;
}

}  // namespace

int mivra_sched_item_list(const char *url, std::vector<mivra_sched_item> *items) {
    int n =
        sched_list(__func__, url, "MivraSched.SchedListItems", items, mivra_sched_item_decompose);
    if (n > 0)
        mivra_selection_sort(*items, [](const mivra_sched_item &a, const mivra_sched_item &b) {
            return a.calc < b.calc ? -1 : a.calc > b.calc ? 1 : 0;
        });
    return n;
}

int mivra_sched_log_list(const char *url, std::vector<mivra_sched_log> *logs) {
    return sched_list(__func__, url, "MivraSched.SchedListLogs", logs, mivra_sched_log_decompose);
}

int mivra_sched_get_state(const char *url, mivra_sched_state *st) {
    static const char method[] = "MivraSched.SchedGetState";
    if (!st) return -22;
    *st = mivra_sched_state{};
    xr_value reply = mivra_call(__func__, url, method, "()");
    if (!reply) return RESULT_NO_ANSWER;
    int result = 0;
    if (mivra_decode_result(__func__, reply.get(), &result, MIVRA_HERE) < 0)
        return RESULT_NO_ANSWER;
    st->result = result;
    // The scheduler's own failure carries no state to decode.
    if (result < 0) {
        mivra_report_result(__func__, method, result);
        return result;
    }
    xr_env env;
    xmlrpc_value *raw = nullptr;
    xmlrpc_decompose_value(&env, reply.get(), "{s:S,*}", "state", &raw);
    xr_value state(env.fault() ? nullptr : raw);
    xr_str s_now, s_a, s_b;
    xmlrpc_int64 t_now = 0, t_a = 0, t_b = 0;
    if (!env.fault() && result != 0)
        xr_decompose(&env, state.get(), "{s:i,s:i,s:s,s:I,s:s,s:I,s:s,s:I,*}", "status",
                     &st->status, "duration", &st->duration, "s_now", &s_now, "t_now", &t_now,
                     "s_start", &s_a, "t_start", &t_a, "s_end", &s_b, "t_end", &t_b);
    else if (!env.fault())
        xr_decompose(&env, state.get(), "{s:s,s:I,s:s,s:I,*}", "s_now", &s_now, "t_now", &t_now,
                     "s_next", &s_a, "t_next", &t_a);
    if (env.fault()) {
        mivra_err("%s: decompose value failed: %s (%d) [%s:%d]\n", __func__, env.msg(), env.code(),
                  MIVRA_HERE);
        *st = mivra_sched_state{};  // no half-decoded state
        return RESULT_NO_ANSWER;
    }
    st->s_now = s_now.get();
    st->t_now = t_now;
    if (result != 0) {
        st->s_start = s_a.get();
        st->t_start = t_a;
        st->s_end = s_b.get();
        st->t_end = t_b;
    } else {
        st->s_next = s_a.get();
        st->t_next = t_a;
    }
    return result;
}
