// Brings the message system's posts onto the GUI thread: once installed, a message posted
// to the GUI thread's queue from any thread is dispatched on the GUI thread by Qt's event
// loop, between other window events and inside nested loops (modal message boxes) too.
#pragma once

// Call once on the GUI thread after the QApplication exists. Messages already queued are
// drained at the next turn of the event loop. Calling it again re-installs the drain.
void InstallGuiMessageDrain();
// Stops scheduling drains (the application object going away does it by itself).
void RemoveGuiMessageDrain();
