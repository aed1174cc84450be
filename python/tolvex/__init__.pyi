from tolvex._tolvex import *
from tolvex._tolvex import error as error, version as version
