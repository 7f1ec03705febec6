// The one road that events take from the handler table to a dialog:
//
//   engine raises -> DialogOnUpgradeStatus / DialogOnUpgradeError (the registered handlers)
//                 -> a copy of the event (DialogEvent) is handed to the current EventRoute
//                 -> the route's delivery brings it to the dialog's presenter on the toolkit's
//                    terms (Qt: queued to the dialog's thread; Win32: at once, each control call
//                    carried to the dialog's thread by the platform)
//
// One route at a time: the latest one made receives the events, and an event raised while there
// is none is dropped. A delivery runs on the raising thread with the route held, so it must not
// wait for a thread that may raise events or end the route.
#pragma once

#include "ui/presentation.h"

#include <functional>

namespace skelvo::ui {

struct DialogEvent {
    enum class Kind { Status, Error };
    Kind kind = Kind::Status;
    int code = 0;
    StatusPayload payload; // status events only
    EventContext context;  // the record's texts when the event was raised
};

using EventDelivery = std::function<void(const DialogEvent&)>;

class EventRoute {
  public:
    explicit EventRoute(EventDelivery deliver);
    ~EventRoute();
    EventRoute(const EventRoute&) = delete;
    EventRoute& operator=(const EventRoute&) = delete;

  private:
    friend void DeliverDialogEvent(const DialogEvent& event);
    EventDelivery m_deliver;
    EventRoute* m_previous;
};

// Hands an event to the current route; without one it is dropped. The handlers below and the
// dialog's upgrade flow both deliver here.
void DeliverDialogEvent(const DialogEvent& event);

// The handlers of the handler table: each copies what its event carries (the progress numbers,
// the record's texts) and hands it to the current route. Both return 1.
int DialogOnUpgradeStatus(int code, void* info);
int DialogOnUpgradeError(int code, void* info);

// The dialog program's start-up: the handler table (CheckFilename, ReadImageBlock, no write
// handler and the two handlers above), then the default login and password. Call before the main
// dialog exists, so that nothing can raise an event first.
void PrepareStartup();

} // namespace skelvo::ui
