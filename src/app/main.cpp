#include "app/commands.h"

int main(int argc, char** argv) {
    return Dispatch(argc, argv);
}
