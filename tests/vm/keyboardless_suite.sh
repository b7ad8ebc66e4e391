# Runs inside the VM from /suite, booted with i8042.nokbd: the ordinary user
# that sway runs as, and the case of a seat with no keyboard.
useradd --uid 1000 --no-create-home desktop
./uinput_tests --gtest_color=no --gtest_filter='Keyboardless.*'
