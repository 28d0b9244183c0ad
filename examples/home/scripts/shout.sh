#!/bin/sh
# Copies standard input to standard output in capitals.
tr '[:lower:]' '[:upper:]'
