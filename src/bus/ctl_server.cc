#include "ctl.h"

#include <dirent.h>
#include <libxml/parser.h>
#include <strings.h>
#include <sys/stat.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <xmlrpc-c/abyss.h>
#include <xmlrpc-c/util.h>
#include <xmlrpc-c/server_abyss.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "bus_opts.h"
#include "bus.h"
#include "log.h"
#include "relay.h"
#include "xml_guard.h"
#include "xr.h"

struct ctl_server {
    TServer server = {};
    bool created = false;
    xmlrpc_registry *registry = nullptr;
    bool global_init = false;
    bool xml_init = false;
};

namespace {

// Guards the server pointer against a stop that races start-up or release.
std::mutex g_ctl_mu;

}  // namespace

namespace {

void ctl_free(ctl_server *s) {
    if (s->created) ServerFree(&s->server);
    if (s->global_init) xmlrpc_server_abyss_global_term();
    if (s->registry) xmlrpc_registry_free(s->registry);
    if (s->xml_init) xmlCleanupParser();
    delete s;
}

std::string peer_of(TSession *session) {
    void *info = nullptr;
    SessionGetChannelInfo(session, &info);
    auto *ci = static_cast<struct abyss_unix_chaninfo *>(info);
    char host[INET6_ADDRSTRLEN] = "?";
    if (!ci) return host;
    const struct sockaddr *sa = &ci->peerAddr;
    if (sa->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(sa)->sin_addr, host,
                  sizeof(host));
    else if (sa->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr, host,
                  sizeof(host));
    return host;
}

const char *refusal_log(xml_guard_verdict v) {
    switch (v) {
        case XML_GUARD_DOCTYPE:
            return "%s: request from [%s] declares a document type, refused";
        case XML_GUARD_ENCODING:
            return "%s: request from [%s] is neither UTF-8 nor US-ASCII, refused";
        default:
            return "%s: request from [%s] nests elements too deep, refused";
    }
}

// Every call passes here before xmlrpc-c parses it, and every reply before it leaves.
void ctl_process(xmlrpc_env *env, void *arg, const char *xml, size_t len, TSession *session,
                 xmlrpc_mem_block **response) {
    auto *s = static_cast<ctl_server *>(arg);
    xml_guard_verdict v = xml_guard_check(xml, len);
    if (v == XML_GUARD_OK) {
        xmlrpc_registry_process_call2(env, s->registry, xml, len, session, response);
        // Strings may hold control bytes from playlist files and file names; a reply carrying
        // them raw would not be XML at all.
        if (!env->fault_occurred && *response)
            xml_scrub_forbidden(XMLRPC_MEMBLOCK_CONTENTS(char, *response),
                                XMLRPC_MEMBLOCK_SIZE(char, *response));
        return;
    }
    log_msg(LOG_ERROR, refusal_log(v), "ctl_run", peer_of(session).c_str());
    xmlrpc_env fault;
    xmlrpc_env_init(&fault);
    xmlrpc_env_set_fault(&fault, XMLRPC_PARSE_ERROR, xml_guard_text(v));
    *response = xmlrpc_mem_block_new(env, 0);
    if (!env->fault_occurred) xmlrpc_serialize_fault(env, *response, &fault);
    xmlrpc_env_clean(&fault);
}

// Only the methods of the table and the default method answer: xmlrpc-c's built-in system.
// methods (a multicall among them runs any number of calls in one request) are refused as any
// other name is.
void ctl_preinvoke(xmlrpc_env *env, const char *method, xmlrpc_value *, void *) {
    if (!strncmp(method, "system.", 7))
        xmlrpc_env_set_fault_formatted(env, 1, "%s: method %s not bypassed", "ctl_method_default",
                                       method);
}

// The registry: the table's methods, the default method and the filter of the built-in ones.
int ctl_registry_build(mivrabox_opts *o, ctl_server *s, const ctl_method_def *table, size_t count) {
    xr_env env;
    xmlInitParser();
    s->xml_init = true;
    xmlrpc_registry *reg = xmlrpc_registry_new(&env);
    s->registry = env.fault() ? nullptr : reg;
    if (env.fault()) {
        log_msg(LOG_ERROR, "ctl_init: xmlrpc_registry_new failed");
        return RESULT_NO_ANSWER;
    }
    for (size_t i = 0; i < count; i++) {
        struct xmlrpc_method_info3 mi = {};
        mi.methodName = table[i].name;
        mi.methodFunction = table[i].handler ? table[i].handler : ctl_method_shared(table[i].name);
        mi.serverInfo = o;
        xmlrpc_registry_add_method3(&env, s->registry, &mi);
        if (env.fault()) {
            log_msg(LOG_ERROR, "ctl_init: xmlrpc_registry_add_method3(%s) failed: %s (%d)",
                    table[i].name, env.msg(), env.code());
            return RESULT_NO_ANSWER;
        }
    }
    xmlrpc_registry_set_default_method(&env, s->registry, ctl_method_default, o);
    if (env.fault()) {
        log_msg(LOG_ERROR, "ctl_init: xmlrpc_registry_set_default_method failed");
        return RESULT_NO_ANSWER;
    }
    xmlrpc_registry_set_preinvoke_method(&env, s->registry, ctl_preinvoke, nullptr);
    if (env.fault()) {
        log_msg(LOG_ERROR, "ctl_init: xmlrpc_registry_set_preinvoke_method failed");
        return RESULT_NO_ANSWER;
    }
    return 0;
}

// The Abyss server on the daemon's port, its bounds and the handler that filters each call.
int ctl_server_create(mivrabox_opts *o, ctl_server *s) {
    xr_env env;
    xmlrpc_server_abyss_global_init(&env);
    if (env.fault()) {
        log_msg(LOG_ERROR, "ctl_init: xmlrpc_server_abyss_global_init failed");
        return RESULT_NO_ANSWER;
    }
    s->global_init = true;
    if (!ServerCreate(&s->server, "XmlRpcServer", uint16_t(o->port), nullptr, nullptr)) {
        log_msg(LOG_ERROR, "ctl_init: xmlrpc_server_abyss_create failed");
        return RESULT_NO_ANSWER;
    }
    s->created = true;
    // A client that stops half-way through its request loses its connection after a few
    // seconds, and there are slots enough for every operator screen and peer of a station.
    ServerSetTimeout(&s->server, CTL_READ_TIMEOUT_S);
    ServerSetKeepaliveTimeout(&s->server, CTL_READ_TIMEOUT_S);
    ServerSetMaxConn(&s->server, CTL_MAX_CONN);
    ServerSetMaxConnBacklog(&s->server, CTL_MAX_CONN);
    ServerSetAdvertise(&s->server, false);
    xmlrpc_server_abyss_handler_parms hp = {};
    hp.xml_processor = ctl_process;
    hp.xml_processor_arg = s;
    hp.xml_processor_max_stack = xmlrpc_registry_max_stackSize(s->registry);
    hp.uri_path = "/RPC2";
    xmlrpc_server_abyss_set_handler3(&env, &s->server, &hp,
                                     XMLRPC_AHPSIZE(xml_processor_max_stack));
    if (env.fault()) {
        log_msg(LOG_ERROR, "ctl_init: xmlrpc_server_abyss_set_handler3 failed");
        return RESULT_NO_ANSWER;
    }
    const char *error = nullptr;
    ServerInit2(&s->server, &error);
    if (error) {
        log_msg(LOG_ERROR, "ctl_init: xmlrpc_server_abyss_create failed: %s", error);
        free(const_cast<char *>(error));  // Abyss allocates its error texts with malloc
        return RESULT_NO_ANSWER;
    }
    return 0;
}

int ctl_build(mivrabox_opts *o, ctl_server *s, const ctl_method_def *table, size_t count) {
    int r = ctl_registry_build(o, s, table, count);
    return r < 0 ? r : ctl_server_create(o, s);
}

}  // namespace

int ctl_init(mivrabox_opts *o, const ctl_method_def *table, size_t count) {
    if (!o) return -22;
    if (!table && o->daemon && o->daemon->methods) {
        table = o->daemon->methods;
        count = o->daemon->method_count;
    }
    if (!table) {
        table = ctl_methods_shared;
        count = ctl_methods_shared_count;
    }
    ctl_server *s = new (std::nothrow) ctl_server;
    if (!s) return -12;
    int r = ctl_build(o, s, table, count);
    if (r < 0) {
        ctl_free(s);
        return r;
    }
    std::lock_guard lk(g_ctl_mu);
    o->ctl = s;
    return 0;
}

int ctl_run(mivrabox_opts *o) {
    if (!o || !o->ctl) return -22;
    TServer *server;
    {
        std::lock_guard lk(g_ctl_mu);
        if (o->stop_requested) {
            log_msg(LOG_INFO, "%s: xmlrpc_server_abyss_run_server finished", "ctl_run");
            return 0;
        }
        server = &o->ctl->server;
    }
    if (o->daemon && o->daemon->xml_size_limit)
        xmlrpc_limit_set(XMLRPC_XML_SIZE_LIMIT_ID, o->daemon->xml_size_limit);
    // A stop between here and the loop start is kept by Abyss's termination flag.
    ServerRun(server);
    log_msg(LOG_INFO, "%s: xmlrpc_server_abyss_run_server finished", "ctl_run");
    return 0;
}

int ctl_stop(mivrabox_opts *o) {
    if (!o) return -22;
    std::lock_guard lk(g_ctl_mu);
    o->stop_requested = 1;
    if (!o->ctl || !o->ctl->created) return -22;
    ServerTerminate(&o->ctl->server);
    return 0;
}

int ctl_release(mivrabox_opts *o) {
    if (!o) return -22;
    ctl_server *s;
    {
        std::lock_guard lk(g_ctl_mu);
        s = o->ctl;
        o->ctl = nullptr;
    }
    if (!s) return -22;
    ctl_free(s);
    return 0;
}
