#include "inventory.h"

int main() {
    return runMusicInventory();
}
