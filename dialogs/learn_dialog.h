// What the life-cycle needs of the learn-event dialog: learn_dialog_close ends an open dialog
// and returns when it has ended (or after a bounded wait). Host thread.
#pragma once

void learn_dialog_close();
