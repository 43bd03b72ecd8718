// A Wayland client that holds an idle inhibitor (zwp_idle_inhibit_manager_v1) on a small window of
// its own, as a video player does, until it is ended (SIGTERM: the compositor drops the inhibitor
// with the client) or the compositor goes: the tests' inhibitor on any compositor. Prints
// "inhibiting" once the compositor has the inhibitor.
#define _GNU_SOURCE // memfd_create
#include "idle-inhibit-unstable-v1-client-protocol.h"
#include "xdg-shell-client-protocol.h"

#include <wayland-client.h>

#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

enum { kSide = 64, kStride = kSide * 4, kBytes = kStride * kSide };

static struct wl_compositor *compositor;
static struct wl_shm *shm;
static struct xdg_wm_base *wm;
static struct zwp_idle_inhibit_manager_v1 *inhibitManager;
static int configured;

static void global(void *data, struct wl_registry *registry, uint32_t name, const char *interface,
                   uint32_t version)
{
    (void)data;
    (void)version;
    if (strcmp(interface, wl_compositor_interface.name) == 0)
        compositor = wl_registry_bind(registry, name, &wl_compositor_interface, 1);
    else if (strcmp(interface, wl_shm_interface.name) == 0)
        shm = wl_registry_bind(registry, name, &wl_shm_interface, 1);
    else if (strcmp(interface, xdg_wm_base_interface.name) == 0)
        wm = wl_registry_bind(registry, name, &xdg_wm_base_interface, 1);
    else if (strcmp(interface, zwp_idle_inhibit_manager_v1_interface.name) == 0)
        inhibitManager =
            wl_registry_bind(registry, name, &zwp_idle_inhibit_manager_v1_interface, 1);
}
static void globalRemove(void *data, struct wl_registry *registry, uint32_t name)
{
    (void)data;
    (void)registry;
    (void)name;
}
static void ping(void *data, struct xdg_wm_base *base, uint32_t serial)
{
    (void)data;
    xdg_wm_base_pong(base, serial);
}
static void surfaceConfigure(void *data, struct xdg_surface *surface, uint32_t serial)
{
    (void)data;
    xdg_surface_ack_configure(surface, serial);
    configured = 1;
}
static void toplevelConfigure(void *data, struct xdg_toplevel *toplevel, int32_t width,
                              int32_t height, struct wl_array *states)
{
    (void)data;
    (void)toplevel;
    (void)width;
    (void)height;
    (void)states;
}
static void toplevelClose(void *data, struct xdg_toplevel *toplevel)
{
    (void)data;
    (void)toplevel;
}

static const struct wl_registry_listener registryListener = {.global = global,
                                                             .global_remove = globalRemove};
static const struct xdg_wm_base_listener wmListener = {.ping = ping};
static const struct xdg_surface_listener surfaceListener = {.configure = surfaceConfigure};
// Bound at version 1: the events of later versions never come.
static const struct xdg_toplevel_listener toplevelListener = {.configure = toplevelConfigure,
                                                              .close = toplevelClose};

int main(void)
{
    struct wl_display *display = wl_display_connect(NULL);
    if (!display) {
        fprintf(stderr, "no Wayland compositor\n");
        return 1;
    }
    struct wl_registry *registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, NULL);
    wl_display_roundtrip(display);
    if (!compositor || !shm || !wm || !inhibitManager) {
        fprintf(stderr, "the compositor lacks wl_compositor, wl_shm, xdg_wm_base or "
                        "zwp_idle_inhibit_manager_v1\n");
        return 1;
    }
    xdg_wm_base_add_listener(wm, &wmListener, NULL);
    struct wl_surface *surface = wl_compositor_create_surface(compositor);
    struct xdg_surface *xdgSurface = xdg_wm_base_get_xdg_surface(wm, surface);
    xdg_surface_add_listener(xdgSurface, &surfaceListener, NULL);
    struct xdg_toplevel *toplevel = xdg_surface_get_toplevel(xdgSurface);
    xdg_toplevel_add_listener(toplevel, &toplevelListener, NULL);
    xdg_toplevel_set_title(toplevel, "idle inhibitor");
    wl_surface_commit(surface);
    while (!configured && wl_display_dispatch(display) != -1) {
    }

    // Mapped, and so visible: an inhibitor holds only while its surface is.
    const int fd = memfd_create("idle-inhibitor", 0);
    if (fd < 0 || ftruncate(fd, kBytes) != 0)
        return 1;
    void *pixels = mmap(NULL, kBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (pixels == MAP_FAILED)
        return 1;
    memset(pixels, 0x80, kBytes);
    struct wl_shm_pool *pool = wl_shm_create_pool(shm, fd, kBytes);
    struct wl_buffer *buffer =
        wl_shm_pool_create_buffer(pool, 0, kSide, kSide, kStride, WL_SHM_FORMAT_XRGB8888);
    wl_surface_attach(surface, buffer, 0, 0);
    wl_surface_damage(surface, 0, 0, kSide, kSide);
    struct zwp_idle_inhibitor_v1 *inhibitor =
        zwp_idle_inhibit_manager_v1_create_inhibitor(inhibitManager, surface);
    wl_surface_commit(surface);
    wl_display_roundtrip(display);
    printf("inhibiting\n");
    fflush(stdout);
    while (wl_display_dispatch(display) != -1) {
    }

    zwp_idle_inhibitor_v1_destroy(inhibitor);
    wl_buffer_destroy(buffer);
    wl_shm_pool_destroy(pool);
    munmap(pixels, kBytes);
    close(fd);
    xdg_toplevel_destroy(toplevel);
    xdg_surface_destroy(xdgSurface);
    wl_surface_destroy(surface);
    zwp_idle_inhibit_manager_v1_destroy(inhibitManager);
    xdg_wm_base_destroy(wm);
    wl_shm_destroy(shm);
    wl_compositor_destroy(compositor);
    wl_registry_destroy(registry);
    wl_display_disconnect(display);
    return 0;
}
