/* The two entry operations: read what a file's payload says, and verify a file. */
#include <string.h>

#include "image_block.h"
#include "quorvel_internal.h"

static int io_is_complete(void* handle, const quorvel_io* io) {
    return handle != NULL && io != NULL && io->read != NULL && io->seek != NULL && io->tell != NULL;
}

void quorvel_info_from_payload(const quorvel_payload* payload, quorvel_signature_info* info) {
    memset(info, 0, sizeof *info);
    info->has_signature = 1;
    info->payload_valid = 1;
    memcpy(info->signature, payload->signature, sizeof info->signature);
    memcpy(info->key_id, payload->key_id, sizeof info->key_id);
    info->domain_length = payload->domain_length;
    memcpy(info->domain, payload->domain, (size_t)payload->domain_length);
    info->domain[payload->domain_length] = '\0';
}

int quorvel_judge_payload(const quorvel_signature_info* payload,
                          const unsigned char digest[QUORVEL_DIGEST_BYTES],
                          const unsigned char public_key[QUORVEL_PUBLIC_KEY_BYTES],
                          quorvel_verify_result* result) {
    int status = QUORVEL_OK;
    /* The signature is checked before the key id. */
    if (!quorvel_signature_verifies(payload->signature, digest, public_key)) {
        status = QUORVEL_ERR_SIGNATURE_INVALID;
    } else if (!quorvel_key_id_matches(public_key, payload->key_id)) {
        status = QUORVEL_ERR_KEY_MISMATCH;
    }
    if (result != NULL) {
        result->has_signature = 1;
        memcpy(result->key_id, payload->key_id, sizeof result->key_id);
        if (status == QUORVEL_OK) {
            result->verified = 1;
            result->key_id_matched = 1;
            result->domain_length = payload->domain_length;
            memcpy(result->domain, payload->domain, (size_t)payload->domain_length);
            result->domain[payload->domain_length] = '\0';
        }
    }
    return status;
}

int quorvel_read_signature_info(void* handle, const quorvel_io* io, quorvel_signature_info* info) {
    if (info != NULL) {
        memset(info, 0, sizeof *info);
    }
    if (!io_is_complete(handle, io)) {
        return QUORVEL_ERR_INVALID_ARGUMENT;
    }
    unsigned char* image = NULL;
    size_t size = 0;
    int status = quorvel_read_whole_stream(handle, io, &image, &size);
    if (status != QUORVEL_OK) {
        return status;
    }
    quorvel_payload payload;
    status = quorvel_find_payload(image, size, &payload);
    if (status == QUORVEL_OK && info != NULL) {
        quorvel_info_from_payload(&payload, info);
    }
    quorvel_image_block_release(image);
    return status;
}

int quorvel_verify_file(void* handle, const quorvel_io* io,
                        const unsigned char public_key[QUORVEL_PUBLIC_KEY_BYTES],
                        quorvel_verify_result* result) {
    if (result != NULL) {
        memset(result, 0, sizeof *result);
    }
    if (!io_is_complete(handle, io) || public_key == NULL) {
        return QUORVEL_ERR_INVALID_ARGUMENT;
    }
    unsigned char* image = NULL;
    size_t size = 0;
    int status = quorvel_read_whole_stream(handle, io, &image, &size);
    if (status != QUORVEL_OK) {
        return status;
    }
    quorvel_payload payload;
    unsigned char digest[QUORVEL_DIGEST_BYTES];
    status = quorvel_find_payload(image, size, &payload);
    if (status == QUORVEL_OK) {
        status = quorvel_image_digest(image, size, digest);
    }
    quorvel_image_block_release(image);
    if (status != QUORVEL_OK) {
        return status;
    }
    quorvel_signature_info found;
    quorvel_info_from_payload(&payload, &found);
    return quorvel_judge_payload(&found, digest, public_key, result);
}
