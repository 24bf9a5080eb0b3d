"""Rewrites the PP-OCRv4 DB text detector so that OpenCV 4.6's ONNX importer
loads it: every Constant node becomes an initializer, and every Clip whose
bounds come as inputs gets them as attributes instead.

Usage: text_detector.py INPUT OUTPUT
"""
import sys

import onnx
from onnx import helper, numpy_helper


def rewrite(model):
    graph = model.graph
    constants = {}
    kept = []
    for node in graph.node:
        if node.op_type == "Constant":
            tensor = onnx.helper.get_attribute_value(node.attribute[0])
            tensor.name = node.output[0]
            constants[node.output[0]] = tensor
        else:
            kept.append(node)
    for node in kept:
        if node.op_type != "Clip" or len(node.input) == 1:
            continue
        bounds = {}
        for name, slot in (("min", 1), ("max", 2)):
            if len(node.input) > slot and node.input[slot]:
                value = numpy_helper.to_array(constants[node.input[slot]])
                bounds[name] = float(value.reshape(-1)[0])
        del node.input[1:]
        node.attribute.extend(helper.make_attribute(k, v) for k, v in bounds.items())
    used = {name for node in kept for name in node.input}
    del graph.node[:]
    graph.node.extend(kept)
    graph.initializer.extend(t for name, t in constants.items() if name in used)
    return model


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    onnx.save(rewrite(onnx.load(sys.argv[1])), sys.argv[2])


if __name__ == "__main__":
    main()
