// Checks cabinetd's OpenAPI document (the JSON the build makes of
// docs/openapi.yaml, the one the program serves):
// 1. against the OpenAPI 3.1 schema, its $refs resolved
//    (@seriousme/openapi-schema-validator);
// 2. every JSON Schema in it compiled by Ajv in strict mode, which the first
//    leaves alone: a misspelt keyword ("additionalProperites") or type would
//    otherwise switch a check off without a word.
// Usage: node check.mjs openapi.json
import { readFileSync } from "node:fs";

let Validator, Ajv2020;
try {
    ({ Validator } = await import("@seriousme/openapi-schema-validator"));
    Ajv2020 = (await import("ajv/dist/2020.js")).default;
} catch (e) {
    console.error(`the validator is not installed (${e.code}): run scripts/install-deps`);
    process.exit(1);
}

const file = process.argv[2];
if (!file) {
    console.error("usage: node check.mjs openapi.json");
    process.exit(2);
}
const doc = JSON.parse(readFileSync(file, "utf8"));
let failed = false;

const result = await new Validator().validate(doc);
if (!result.valid) {
    console.error(`${file}: not a valid OpenAPI 3.1 document:\n${JSON.stringify(result.errors, null, 2)}`);
    failed = true;
}

// Every schema: the components' and each parameter's and content's own.
const schemas = [];
const walk = (node, path) => {
    if (Array.isArray(node)) return node.forEach((v, i) => walk(v, `${path}/${i}`));
    if (!node || typeof node !== "object") return;
    for (const [k, v] of Object.entries(node)) {
        if (k === "schema" || k === "x-event-data" || k === "x-refusal-data") schemas.push([`${path}/${k}`, v]);
        else walk(v, `${path}/${k}`);
    }
};
walk(doc.paths, "#/paths");
walk(doc.components.parameters, "#/components/parameters");
walk(doc.components.responses, "#/components/responses");
for (const [name, s] of Object.entries(doc.components.schemas)) schemas.push([`#/components/schemas/${name}`, s]);

// The document's references, #/components/schemas/X, made to name the
// same schemas registered on their own.
const rebase = (node) =>
    JSON.parse(JSON.stringify(node).replaceAll('"#/components/schemas/', '"components#/$defs/'));
// strictTypes is off: "if" branches name properties without restating the type.
const ajv = new Ajv2020({ strict: true, strictTypes: false, strictRequired: false, allErrors: true });
ajv.addKeyword("x-event-data");
try {
    ajv.addSchema({ $id: "components", $defs: rebase(doc.components.schemas) });
} catch (e) {
    console.error(`#/components/schemas: ${e.message}`);
    failed = true;
}
for (const [where, s] of schemas) {
    try {
        ajv.compile(rebase(s));
    } catch (e) {
        console.error(`${where}: ${e.message}`);
        failed = true;
    }
}

if (failed) process.exit(1);
console.log(`${file}: valid OpenAPI 3.1; ${schemas.length} schemas compile in strict mode`);
