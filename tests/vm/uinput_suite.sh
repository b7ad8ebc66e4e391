# Runs inside the VM from /suite: the ordinary user that sway runs as.
useradd --uid 1000 --no-create-home desktop
./uinput_tests --gtest_color=no --gtest_filter='-Keyboardless.*'
