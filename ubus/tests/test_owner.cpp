// Publishes the object the end-to-end tests call. Reports on stdout, one line
// each: "ready <id>" once published, "connection_lost" from its own handler
// (with --own-lost) and "loop ended" when the event loop returns.
#include <libubus.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

blob_buf g_reply;

void say(const char *line)
{
    printf("%s\n", line);
    fflush(stdout);
}

int echo(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *msg)
{
    blob_buf_init(&g_reply, 0);
    blob_put_raw(&g_reply, blob_data(msg), static_cast<unsigned int>(blob_len(msg)));
    ubus_send_reply(ctx, req, g_reply.head);
    return 0;
}

// Answers each argument's wire type, to show how the caller encoded it.
int types(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *msg)
{
    blob_buf_init(&g_reply, 0);
    blob_attr *a;
    size_t rem;
    blob_for_each_attr(a, msg, rem)
    {
        blobmsg_add_u32(&g_reply, blobmsg_name(a), static_cast<uint32_t>(blobmsg_type(a)));
    }
    ubus_send_reply(ctx, req, g_reply.head);
    return 0;
}

int twice(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *)
{
    for (int i = 1; i <= 2; i++) {
        blob_buf_init(&g_reply, 0);
        blobmsg_add_u32(&g_reply, "part", static_cast<uint32_t>(i));
        ubus_send_reply(ctx, req, g_reply.head);
    }
    return 0;
}

int noreply(ubus_context *, ubus_object *, ubus_request_data *, const char *, blob_attr *)
{
    return 0;
}

int fail99(ubus_context *, ubus_object *, ubus_request_data *, const char *, blob_attr *)
{
    return 99;
}

int badarg(ubus_context *, ubus_object *, ubus_request_data *, const char *, blob_attr *)
{
    return UBUS_STATUS_INVALID_ARGUMENT;
}

int denied(ubus_context *, ubus_object *, ubus_request_data *, const char *, blob_attr *)
{
    return UBUS_STATUS_PERMISSION_DENIED;
}

int slow(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *)
{
    usleep(3000 * 1000);
    blob_buf_init(&g_reply, 0);
    blobmsg_add_string(&g_reply, "late", "yes");
    ubus_send_reply(ctx, req, g_reply.head);
    return 0;
}

// Eight data messages of 60 KiB each: more than a caller should have to hold.
int bulk(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *)
{
    std::string chunk(60 * 1024, 'x');
    for (int i = 0; i < 8; i++) {
        blob_buf_init(&g_reply, 0);
        blobmsg_add_string(&g_reply, ("part" + std::to_string(i)).c_str(), chunk.c_str());
        ubus_send_reply(ctx, req, g_reply.head);
    }
    return 0;
}

// Vanishes in the middle of a request.
int quit(ubus_context *, ubus_object *, ubus_request_data *, const char *, blob_attr *)
{
    _exit(0);
}

// Reports the caller's names the broker attached, then the parsed x/y.
enum { MOVE_X, MOVE_Y, __MOVE_MAX };
const blobmsg_policy kMovePolicy[__MOVE_MAX] = {
    {"x", BLOBMSG_TYPE_INT32},
    {"y", BLOBMSG_TYPE_INT32},
};

int move(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *msg)
{
    blob_attr *tb[__MOVE_MAX];
    blobmsg_parse(kMovePolicy, __MOVE_MAX, tb, blob_data(msg), static_cast<unsigned int>(blob_len(msg)));
    blob_buf_init(&g_reply, 0);
    for (int i = 0; i < __MOVE_MAX; i++) {
        if (tb[i])
            blobmsg_add_u32(&g_reply, kMovePolicy[i].name, blobmsg_get_u32(tb[i]));
        else
            blobmsg_add_string(&g_reply, kMovePolicy[i].name, "missing");
    }
    blobmsg_add_string(&g_reply, "user", req->acl.user ? req->acl.user : "");
    ubus_send_reply(ctx, req, g_reply.head);
    return 0;
}

const blobmsg_policy kSetPolicy[] = {
    {"name", BLOBMSG_TYPE_STRING}, {"on", BLOBMSG_TYPE_BOOL},   {"list", BLOBMSG_TYPE_ARRAY},
    {"opts", BLOBMSG_TYPE_TABLE},  {"big", BLOBMSG_TYPE_INT64}, {"hidden", BLOBMSG_TYPE_INT32},
};

const ubus_method kMethods[] = {
    UBUS_METHOD("move", move, kMovePolicy), UBUS_METHOD_MASK("set", noreply, kSetPolicy, 0x1f),
    UBUS_METHOD_NOARG("echo", echo),        UBUS_METHOD_NOARG("types", types),
    UBUS_METHOD_NOARG("twice", twice),      UBUS_METHOD_NOARG("noreply", noreply),
    UBUS_METHOD_NOARG("fail99", fail99),    UBUS_METHOD_NOARG("badarg", badarg),
    UBUS_METHOD_NOARG("denied", denied),    UBUS_METHOD_NOARG("slow", slow),
    UBUS_METHOD_NOARG("quit", quit),        UBUS_METHOD_NOARG("bulk", bulk),
};

ubus_object_type g_type = UBUS_OBJECT_TYPE("e2e_test", kMethods);

ubus_object g_object = {
    .avl = {},
    .name = "test",
    .id = 0,
    .path = nullptr,
    .type = &g_type,
    .subscribe_cb = nullptr,
    .has_subscribers = false,
    .methods = kMethods,
    .n_methods = ARRAY_SIZE(kMethods),
};

void ownConnectionLost(ubus_context *)
{
    say("connection_lost");
    uloop_end();
}

}  // namespace

int main(int argc, char **argv)
{
    const char *socketPath = nullptr;
    bool ownLost = false;
    int ch;
    while ((ch = getopt(argc, argv, "s:n:l")) != -1) {
        switch (ch) {
        case 's':
            socketPath = optarg;
            break;
        case 'n':
            g_object.name = optarg;
            break;
        case 'l':
            ownLost = true;
            break;
        default:
            return 2;
        }
    }

    uloop_init();
    ubus_context *ctx = ubus_connect(socketPath);
    if (!ctx) {
        say("connect failed");
        return 1;
    }
    if (ownLost)
        ctx->connection_lost = ownConnectionLost;
    ubus_add_uloop(ctx);
    int ret = ubus_add_object(ctx, &g_object);
    if (ret) {
        printf("add_object failed %d\n", ret);
        return 1;
    }
    char line[64];
    snprintf(line, sizeof(line), "ready %08x", g_object.id);
    say(line);

    uloop_run();
    say("loop ended");
    ubus_free(ctx);
    uloop_done();
    blob_buf_free(&g_reply);
    return 0;
}
