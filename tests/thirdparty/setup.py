import brilox.config
from setuptools import Extension, setup

setup(ext_modules=[Extension("peek", ["peek.c"], **brilox.config.extension_args())])
