#include "ui/event_route.h"

#include "engine/upgrade_record.h"
#include "tftp/tftp_callbacks.h"
#include "tftp/tftp_server.h"

#include <mutex>

namespace skelvo::ui {

namespace {

// Held while a route is made, ended or delivers, so a route cannot end under a delivery.
std::mutex g_routeLock;
EventRoute* g_route = nullptr;

} // namespace

EventRoute::EventRoute(EventDelivery deliver) : m_deliver(std::move(deliver)) {
    std::lock_guard<std::mutex> guard(g_routeLock);
    m_previous = g_route;
    g_route = this;
}

EventRoute::~EventRoute() {
    std::lock_guard<std::mutex> guard(g_routeLock);
    if (g_route == this) {
        g_route = m_previous;
        return;
    }
    for (EventRoute* r = g_route; r != nullptr; r = r->m_previous)
        if (r->m_previous == this) {
            r->m_previous = m_previous;
            return;
        }
}

void DeliverDialogEvent(const DialogEvent& event) {
    std::lock_guard<std::mutex> guard(g_routeLock);
    if (g_route != nullptr && g_route->m_deliver)
        g_route->m_deliver(event);
}

int DialogOnUpgradeStatus(int code, void* info) {
    DeliverDialogEvent(
        DialogEvent{DialogEvent::Kind::Status, code, CopyStatusPayload(code, info), CurrentEventContext()});
    return 1;
}

int DialogOnUpgradeError(int code, void*) {
    DeliverDialogEvent(DialogEvent{DialogEvent::Kind::Error, code, {}, CurrentEventContext()});
    return 1;
}

void PrepareStartup() {
    RegisterTftpCallbacks(CheckFilename, ReadImageBlock, nullptr, DialogOnUpgradeError,
                          DialogOnUpgradeStatus);
    SetLoginName(kDefaultLogin);
    SetPassword(kDefaultPassword);
}

} // namespace skelvo::ui
