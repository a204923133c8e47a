// koruvan: the downloader window (see ui/CwbeKoruvanUIApp.h).
#include "ui/CwbeKoruvanUIApp.h"

int main(int argc, char** argv) {
    return koruvan::ui::CwbeKoruvanUIApp().Run(argc, argv);
}
