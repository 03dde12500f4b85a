import sys

from Net_Refiner.refiner import main

sys.exit(main(sys.argv[1:]))
