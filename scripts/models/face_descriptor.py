"""Builds the face-descriptor network (dlib's 29-layer ResNet, 128-d output)
as ONNX from the uint8-quantised weights of a TensorFlow.js port.

Usage: face_descriptor.py MANIFEST WEIGHTS OUTPUT

The graph follows the port's own layer structure: a 7x7/2 convolution, a
3x3/2 max-pool, residual stages of 32, 64, 128 and 256 channels whose first
block halves the size (the shortcut is a 2x2 average pool, zero-padded in
channels and, when the sizes differ, the main path zero-padded at the
bottom and right), a global average and a 256x128 projection. Each
convolution is followed by a per-channel scale and shift, folded here into
the convolution. Input: 1x3x150x150, RGB, (pixel - channel mean) / 255 with the means
122.782, 117.001, 104.298.
"""
import json
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

SIZE = 150


def load_weights(manifest_path, weights_path):
    with open(manifest_path) as f:
        groups = json.load(f)
    with open(weights_path, "rb") as f:
        data = f.read()
    weights, offset = {}, 0
    for group in groups:
        for entry in group["weights"]:
            count = int(np.prod(entry["shape"]))
            quant = entry.get("quantization")
            if quant:
                if quant["dtype"] != "uint8":
                    sys.exit("unsupported quantisation " + quant["dtype"])
                raw = np.frombuffer(data, np.uint8, count, offset)
                offset += count
                values = raw.astype(np.float32) * np.float32(quant["scale"]) + np.float32(quant["min"])
            else:
                if entry["dtype"] != "float32":
                    sys.exit("unsupported dtype " + entry["dtype"])
                values = np.frombuffer(data, "<f4", count, offset).astype(np.float32)
                offset += 4 * count
            weights[entry["name"]] = values.reshape(entry["shape"])
    if offset != len(data):
        sys.exit("weights file size does not match its manifest")
    return weights


class Graph:
    def __init__(self, weights):
        self.w = weights
        self.nodes, self.inits, self.n = [], [], 0

    def name(self, hint):
        self.n += 1
        return "%s_%d" % (hint, self.n)

    def const(self, hint, array):
        name = self.name(hint)
        self.inits.append(numpy_helper.from_array(np.ascontiguousarray(array), name))
        return name

    def op(self, op_type, inputs, **attrs):
        out = self.name(op_type.lower())
        self.nodes.append(helper.make_node(op_type, inputs, [out], **attrs))
        return out

    def conv(self, x, prefix, stride, relu, same):
        # HWIO -> OIHW, with the scale layer folded in.
        filters = self.w[prefix + "/conv/filters"].transpose(3, 2, 0, 1)
        bias = self.w[prefix + "/conv/bias"]
        scale = self.w[prefix + "/scale/weights"]
        shift = self.w[prefix + "/scale/biases"]
        k = filters.shape[2]
        pad = (k - 1) // 2 if same else 0
        out = self.op("Conv",
                      [x, self.const("w", filters * scale[:, None, None, None]),
                       self.const("b", bias * scale + shift)],
                      kernel_shape=[k, k], strides=[stride, stride], pads=[pad] * 4)
        return self.op("Relu", [out]) if relu else out

    def residual(self, x, prefix):
        out = self.conv(x, prefix + "/conv1", 1, True, True)
        out = self.conv(out, prefix + "/conv2", 1, False, True)
        return self.op("Relu", [self.op("Add", [out, x])])

    def residual_down(self, x, prefix, size, channels_in):
        out = self.conv(x, prefix + "/conv1", 2, True, False)
        out = self.conv(out, prefix + "/conv2", 1, False, True)
        conv_size = (size - 3) // 2 + 1
        pool_size = size // 2
        channels_out = self.w[prefix + "/conv2/conv/filters"].shape[3]
        pooled = self.op("AveragePool", [x], kernel_shape=[2, 2], strides=[2, 2])
        if channels_out != channels_in:
            # Zero channels appended to the shortcut: a fixed 1x1 convolution.
            eye = np.zeros((channels_out, channels_in, 1, 1), np.float32)
            eye[np.arange(channels_in), np.arange(channels_in)] = 1
            pooled = self.op("Conv", [pooled, self.const("pad", eye)], kernel_shape=[1, 1])
        if conv_size != pool_size:
            extra = pool_size - conv_size
            out = self.op("Pad", [out, self.const("pads", np.array(
                [0, 0, 0, 0, 0, 0, extra, extra], np.int64))], mode="constant")
        return self.op("Relu", [self.op("Add", [pooled, out])]), pool_size, channels_out


def build(weights):
    g = Graph(weights)
    x = "input"
    out = g.conv(x, "conv32_down", 2, True, False)
    size = (SIZE - 7) // 2 + 1
    out = g.op("MaxPool", [out], kernel_shape=[3, 3], strides=[2, 2])
    size = (size - 3) // 2 + 1
    channels = 32
    stages = [("conv32", None, 3), ("conv64", "conv64_down", 3),
              ("conv128", "conv128_down", 2), ("conv256", "conv256_down", 2)]
    for stage, down, blocks in stages:
        if down:
            out, size, channels = g.residual_down(out, down, size, channels)
        for i in range(1, blocks + 1):
            out = g.residual(out, "%s_%d" % (stage, i))
    out, size, channels = g.residual_down(out, "conv256_down_out", size, channels)
    out = g.op("GlobalAveragePool", [out])
    out = g.op("Flatten", [out], axis=1)
    fc = weights["fc"]
    g.nodes.append(helper.make_node(
        "Gemm", [out, g.const("fc", fc.T), g.const("fc_bias", np.zeros(fc.shape[1], np.float32))],
        ["descriptor"], transB=1))
    graph = helper.make_graph(
        g.nodes, "face_descriptor",
        [helper.make_tensor_value_info("input", TensorProto.FLOAT, [1, 3, SIZE, SIZE])],
        [helper.make_tensor_value_info("descriptor", TensorProto.FLOAT, [1, fc.shape[1]])],
        g.inits)
    model = helper.make_model(graph, producer_name="quilmar-direct",
                              opset_imports=[helper.make_opsetid("", 11)])
    model.ir_version = 6
    onnx.checker.check_model(model)
    return model


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    model = build(load_weights(sys.argv[1], sys.argv[2]))
    onnx.save(model, sys.argv[3])


if __name__ == "__main__":
    main()
