import sys

from velk_odom.cli import main

sys.exit(main())
