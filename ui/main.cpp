#include "ui/app.h"

int main(int argc, char** argv) {
    skelvo::ui::RunSkelvo(argc, argv);
}
