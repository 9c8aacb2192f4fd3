#pragma once

// Qt's own texts (file dialogs and their buttons, standard message box
// buttons, the edit fields' context menus) in Russian, like the panel's
// own, whatever the system's language. The translations are built into the
// program, so that a build with a static Qt speaks Russian too.
class TPanelLanguage
{
public:
    // Call once the application object exists; false when the built-in
    // translations could not be loaded (Qt then speaks English).
    static bool Install();
};
