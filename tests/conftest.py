import os
import sys

# The recording generator lives beside the tests; make it importable from the examples too.
sys.path.insert(0, os.path.dirname(__file__))
