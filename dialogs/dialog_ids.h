/* Resource and control ids of the two dialogs, shared by dialogs.rc and the code.
   Plain macros: the resource compiler reads this file too. */
#pragma once

#define SETTINGS_DIALOG_TEMPLATE 101
#define DIALOG_ICON 102
#define LEARN_DIALOG_TEMPLATE 103

/* Buttons every dialog shares. */
#define ID_OK_BUTTON 1
#define ID_CANCEL_BUTTON 2

/* Settings dialog, template 101. */
#define ID_APPLY_BUTTON 3
#define ID_ALLOW_ALL 1000
#define ID_DISABLE_ABUSE_PROTECTION 1001
#define ID_RULE_TEXT 1002
#define ID_ADD_RULE 1003
#define ID_MODIFY_RULE 1004
#define ID_DELETE_RULE 1005
#define ID_RULE_LIST 1006
#define ID_PASSWORD 1007
#define ID_PORT 1008
#define ID_SETTINGS_GROUP 1009
#define ID_PASSWORD_LABEL 1013
#define ID_PORT_LABEL 1014
#define ID_CONNECTION_LIST 1015
#define ID_CONNECTIONS_GROUP 1016

/* Learn-event dialog, template 103. */
#define ID_LEARN_PROMPT 1010
#define ID_LEARN_TEXT 1011
