# Runs through tests/vm/wine.sh, beside the programs it proves.
./wine_tests --gtest_color=no
