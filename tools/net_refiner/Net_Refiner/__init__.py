"""Graph rewriter started by scalefinder as ``python3 -m Net_Refiner``.

This stand-in keeps the net as it is: it writes the definition and the
weights under their new names (path + postfix), naming the net from
``--name`` when the definition carries no top-level ``name``.  The merge
options are accepted and reported; none of them changes the net here.
Only Python's standard library is used.
"""
