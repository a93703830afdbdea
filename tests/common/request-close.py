#!/usr/bin/python3
# Asks an X window to close the way a desktop does: WM_DELETE_WINDOW sent
# through WM_PROTOCOLS. Usage: request-close.py WINDOW_ID
import sys
from Xlib import X, display, protocol
d = display.Display()
w = d.create_resource_object('window', int(sys.argv[1]))
protocols = d.intern_atom('WM_PROTOCOLS')
delete = d.intern_atom('WM_DELETE_WINDOW')
ev = protocol.event.ClientMessage(window=w, client_type=protocols, data=(32, [delete, X.CurrentTime, 0, 0, 0]))
w.send_event(ev, event_mask=X.NoEventMask)
d.flush()
